// The stand-in Connector's command line and page texts.
#include <gtest/gtest.h>

#include "Pages.h"
#include "StandInConnector.h"

namespace tarnwick::standin {
namespace {

TEST(StandInArguments, AcceptTheRealConnectorsAndTheTestOptions) {
  struct Case {
    std::vector<std::string> arguments;
    std::string environmentVersion;
    std::optional<std::string> version;  // nothing: refused
    int port = 8766;
    std::vector<int> extraPorts;
  };
  const std::vector<Case> cases = {
      {{}, "", "1.2.3"},  // as a login item starts it
      {{"run", "--no-browser"}, "", "1.2.3"},
      {{"run", "--no-browser"}, "0.9", "0.9"},
      {{"--version", "2.0.10"}, "0.9", "2.0.10"},
      {{"--port", "9000", "--extra-port", "9001", "--extra-port", "9002"},
       "",
       "1.2.3",
       9000,
       {9001, 9002}},
      {{"--version"}, "", std::nullopt},
      {{"--port", "0"}, "", std::nullopt},
      {{"--port", "65536"}, "", std::nullopt},
      {{"--port", "80a"}, "", std::nullopt},
      {{"--browser"}, "", std::nullopt},
      {{"serve"}, "", std::nullopt},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::PrintToString(testCase.arguments));
    auto options = parseArguments(testCase.arguments, testCase.environmentVersion, "1.2.3");
    ASSERT_EQ(options.has_value(), testCase.version.has_value());
    if (options) {
      EXPECT_EQ(options->version, *testCase.version);
      EXPECT_EQ(options->interfaceVersion, *testCase.version);
      EXPECT_EQ(options->port, testCase.port);
      EXPECT_EQ(options->extraPorts, testCase.extraPorts);
      EXPECT_EQ(options->host, "127.0.0.1");
    }
  }
  auto separate =
      parseArguments({"--interface-version", "7.1", "--client-source", "channel"}, "", "1.2.3");
  ASSERT_TRUE(separate);
  EXPECT_EQ(separate->version, "1.2.3");
  EXPECT_EQ(separate->interfaceVersion, "7.1");
  EXPECT_EQ(separate->clientSource, "channel");
}

TEST(StandInPages, EscapeWhatTheyShow) {
  EXPECT_EQ(escapeHTML("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  Query query = {{"server", "https://x.invalid/?a=1&b=<2>"},
                 {"code", "\"quoted\""},
                 {"completion_url", "</dd><script>alert(1)</script>"},
                 {"completion_token", "plain"}};
  auto page = pairingPage({.version = "1.0", .csrfToken = "t"}, query);
  EXPECT_NE(page.find("<dd id=\"server\">https://x.invalid/?a=1&amp;b=&lt;2&gt;</dd>"),
            std::string::npos);
  EXPECT_NE(page.find("<dd id=\"code\">&quot;quoted&quot;</dd>"), std::string::npos);
  EXPECT_NE(page.find("&lt;/dd&gt;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<script>alert(1)"), std::string::npos);
  EXPECT_NE(page.find("<dd id=\"completion_token\">plain</dd>"), std::string::npos);
}

TEST(StandInPages, CarryTheThreeMetaElements) {
  PageIdentity identity{.version = "3.4.5", .source = "channel", .csrfToken = "abc123"};
  bool found = false;
  for (const auto& page : {interfacePage(identity), pairingPage(identity, {}),
                           testPage(identity, "act", {}, &found)}) {
    EXPECT_NE(page.find("<meta name=\"tarnwick-client-version\" content=\"3.4.5\">"),
              std::string::npos);
    EXPECT_NE(page.find("<meta name=\"tarnwick-client-source\" content=\"channel\">"),
              std::string::npos);
    EXPECT_NE(page.find("<meta name=\"tarnwick-desktop-csrf\" content=\"abc123\">"),
              std::string::npos);
  }
  EXPECT_TRUE(found);
  testPage(identity, "nothing", {}, &found);
  EXPECT_FALSE(found);
}

TEST(StandInPages, KeepQueryTextInsideTheirScripts) {
  // A test page acts on its query; no query text may end the script it sits in.
  bool found = false;
  auto page = testPage({.version = "1"}, "act", {{"message", "</script><b>x</b>'\"\\"}}, &found);
  auto start = page.find("<script>tarnwickAct(");
  ASSERT_NE(start, std::string::npos);
  auto end = page.find("</script>", start);
  EXPECT_EQ(page.substr(start, end - start).find('<', 1), std::string::npos);
  auto frame = testPage({.version = "1"}, "frame", {{"message", "</script>\"><b>x</b>"}}, &found);
  EXPECT_EQ(frame.find("<b>"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick::standin
