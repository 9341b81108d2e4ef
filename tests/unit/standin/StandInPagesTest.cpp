// The stand-in Connector's command line and page texts.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "Pages.h"
#include "StandInConnector.h"

namespace tarnwick::standin {
namespace {

TEST(StandInArguments, AcceptTheRealConnectorsAndTheTestOptions) {
  // arguments | version in the environment | version, port and extra ports, or "-" when refused
  for (const auto& row :
       {"|0.9|0.9 8766", "run --no-browser|0.9|0.9 8766", "--version 2.0.10|0.9|2.0.10 8766",
        "--port 9000 --extra-port 9001 --extra-port 9002||1.2.3 9000 9001 9002", "--version||-",
        "--port 0||-", "--port 65536||-", "--port 80a||-", "--browser||-", "serve||-"}) {
    std::istringstream cells(row);
    std::string words, environment, expected;
    std::getline(std::getline(std::getline(cells, words, '|'), environment, '|'), expected);
    std::istringstream split(words);
    std::vector<std::string> arguments{std::istream_iterator<std::string>(split), {}};
    auto options = parseArguments(arguments, environment, "1.2.3");
    std::string found = "-";
    if (options) {
      EXPECT_EQ(options->interfaceVersion, options->version);
      EXPECT_EQ(options->host, "127.0.0.1");
      found = options->version + " " + std::to_string(options->port);
      for (int port : options->extraPorts) {
        found += " " + std::to_string(port);
      }
    }
    EXPECT_EQ(found, expected) << row;
  }
}

TEST(StandInPages, EscapeWhatTheyShowAndCarryTheThreeMetaElements) {
  EXPECT_EQ(escapeHTML("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  PageIdentity identity{.version = "3.4.5", .source = "channel", .csrfToken = "abc123"};
  auto pairing = pairingPage(
      identity, {{"server", "https://x/?a=1&b=<2>"}, {"completion_url", "</dd><script>x"}});
  EXPECT_NE(pairing.find("<dd id=\"server\">https://x/?a=1&amp;b=&lt;2&gt;</dd>"),
            std::string::npos);
  EXPECT_NE(pairing.find("<dd id=\"completion_url\">&lt;/dd&gt;&lt;script&gt;x</dd>"),
            std::string::npos);
  bool found = false;
  for (const auto& page :
       {interfacePage(identity), pairing, testPage(identity, "act", {}, &found)}) {
    for (std::string meta :
         {"tarnwick-client-version\" content=\"3.4.5", "tarnwick-client-source\" content=\"channel",
          "tarnwick-desktop-csrf\" content=\"abc123"}) {
      EXPECT_NE(page.find("<meta name=\"" + meta + "\">"), std::string::npos) << meta;
    }
  }
  EXPECT_TRUE(found);
  testPage(identity, "nothing", {}, &found);
  EXPECT_FALSE(found);
  // A test page acts on its query; no query text may end the script it sits in.
  auto page = testPage(identity, "act", {{"message", "</script><b>x</b>'\"\\"}}, &found);
  auto start = page.find("<script>tarnwickAct(");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(page.substr(start, page.find("</script>", start) - start).find('<', 1),
            std::string::npos);
  EXPECT_EQ(testPage(identity, "frame", {{"message", "</script>\"><b>x</b>"}}, &found).find("<b>"),
            std::string::npos);
}

}  // namespace
}  // namespace tarnwick::standin
