// Links in one session: an invitation redeemed at start against the stand-in service host over
// HTTPS, then links handed over by second copies through the activation channel.
#include <gtest/gtest.h>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

std::string invitation(const std::string& installCode, int port = 18443) {
  return "tarnwick://desktop-invite?invite=https://tarnwick.com:" + std::to_string(port) +
         "/support/install/" + installCode + "/pair";
}

TEST(Links, AnInvitationAtStartAndLinksFromOtherCopiesReachTheRunningShell) {
  StandIn connector;
  ASSERT_FALSE(connector.server()) << "something already listens on 127.0.0.1:8766";
  TemporaryFolder folder("tarnwick-links");
  ServiceHost service(folder.path(), 18443, {"--log", (folder.path() / "requests.jsonl").string()});
  ASSERT_TRUE(service.ready);
  Session session(true);
  auto pairingPage = [&](const std::string& search) {
    auto fields = loaded("/support");
    fields["search"] = search;
    return !connector.waitLog(fields, 60s).empty();
  };

  // The service takes seconds to answer; meanwhile no Connector is started or asked.
  ASSERT_TRUE(session.launch({invitation("slow-6")}, service.wrapper()));
  EXPECT_TRUE(session.waitText("Preparing your secure connection\u2026", 20s));
  EXPECT_TRUE(session.connectors().empty());
  EXPECT_FALSE(connector.server());
  EXPECT_TRUE(
      pairingPage("?server=https://pairing.example:8443/servers/slow-6&code=TWCK2345"
                  "&completion_url=https://tarnwick.com/support/install/slow-6/complete"
                  "&completion_token=t%26k%2Bslow-6"))
      << connector.get("/test/log").dump();
  EXPECT_NE(readFile(folder.path() / "requests.jsonl").find("/support/install/slow-6/pair"),
            std::string::npos);

  const auto windows = session.screen.windows().size();
  const std::string suffix = " Ask your Tarnwick for a new setup link.";
  for (const auto& [link, sentence] : std::vector<std::pair<std::string, std::string>>{
           {invitation("error-expired"), "This setup link has expired." + suffix},
           {invitation("any", 18444), "Could not connect to the server." + suffix}}) {
    SCOPED_TRACE(link);
    auto options = session.environment("second");
    options.environment["DESKTOP_STARTUP_ID"] = "copy_TIME" + std::to_string(sentence.size());
    auto second = runCommand(app.string(), {link}, options, 30s);
    EXPECT_EQ(std::pair(second.status, second.output), std::pair(0, std::string()));
    EXPECT_TRUE(session.waitText(sentence, 40s)) << ::testing::PrintToString(session.texts());
    EXPECT_EQ(session.screen.cardinal(session.main.id, "_NET_WM_USER_TIME"), long(sentence.size()));
    EXPECT_EQ(session.screen.windows().size(), windows) << "a second copy showed a window";
  }

  // A local pairing link: the code arrives upper-cased, every value intact with its "?", "="
  // and "&" escaped.
  EXPECT_EQ(runCommand(app.string(),
                       {"tarnwick://desktop-pair?server=https://pair.example:9443/s%3Fa%3D1%26b"
                        "&code=abcd2345&completion_url=https://TARNWICK.com/done&"
                        "completion_token=a%26b"},
                       session.environment("third"))
                .status,
            0);
  EXPECT_TRUE(
      pairingPage("?server=https://pair.example:9443/s%3Fa%3D1%26b&code=ABCD2345"
                  "&completion_url=https://TARNWICK.com/done&completion_token=a%26b"))
      << connector.get("/test/log").dump();
  EXPECT_TRUE(session.quit());
}

}  // namespace
}  // namespace tarnwick::e2e
