// Links in one session: an invitation redeemed at start against the stand-in service host over
// HTTPS, then links handed over by second copies (one through the desktop entry and xdg-open),
// each bringing the one window forward; a support command alongside does not.
#include <gtest/gtest.h>

#include <thread>

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
  EXPECT_TRUE(session.waitText("Preparing your secure connection\u2026", 20s))
      << ::testing::PrintToString(session.texts());
  EXPECT_TRUE(session.connectors().empty());
  EXPECT_FALSE(connector.server());
  EXPECT_TRUE(
      pairingPage("?server=https://pairing.example:8443/servers/slow-6&code=TWCK2345"
                  "&completion_url=https://tarnwick.com/support/install/slow-6/complete"
                  "&completion_token=t%26k%2Bslow-6"))
      << connector.get("/test/log").dump();
  EXPECT_NE(readFile(folder.path() / "requests.jsonl").find("/support/install/slow-6/pair"),
            std::string::npos);

  // A window over the shell's, once the shell has stopped raising its own.
  auto& screen = *session.screen;
  auto cover = screen.cover();
  auto covered = [&] {
    return waitUntil(
        [&] {
          screen.raise(cover);
          return !waitUntil([&] { return !screen.above(cover, session.main.id); }, 1500ms);
        },
        20s);
  };
  const auto windows = screen.windows().size();
  const std::string suffix = " Ask your Tarnwick for a new setup link.";
  struct Failure {
    std::string link, sentence;
  };
  for (const auto& [link, sentence] : std::vector<Failure>{
           {invitation("error-expired"), "This setup link has expired." + suffix},
           {invitation("any", 18444), "Could not connect to the server." + suffix}}) {
    SCOPED_TRACE(link);
    ASSERT_TRUE(covered());
    auto second = runCommand(app.string(), {link}, session.environment("second"), 30s);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.output, "");
    EXPECT_TRUE(waitUntil([&] { return screen.above(session.main.id, cover); }, 10s))
        << "the window did not come forward";
    EXPECT_TRUE(session.waitText(sentence, 40s)) << ::testing::PrintToString(session.texts());
    EXPECT_EQ(screen.windows().size(), windows) << "a second copy showed a window";
  }

  ASSERT_TRUE(covered());
  auto control = runCommand(app.string(), {"--tarnwick-support-nonexistent"},
                            session.environment("control"), 30s);
  EXPECT_EQ(control.status, 2);
  EXPECT_EQ(control.output, "TARNWICK_CONTROL_DENIED\n");
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(screen.above(cover, session.main.id)) << "a support command activated the shell";

  // The desktop's own way: xdg-open through the installed desktop entry. The code arrives
  // upper-cased, every value intact with its "?", "=" and "&" escaped.
  auto desktop = session.environment("xdg-open");
  desktop.environment["BROWSER"] = "false";  // nothing else may take the link
  desktop.environment["DESTDIR"] = (session.home.path() / "staged").string();
  desktop.unset.insert(desktop.unset.end(),
                       {"DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"});
  ASSERT_EQ(
      runCommand("/bin/bash", {TARNWICK_INSTALL_DESKTOP_ENTRY, app.string()}, desktop, 30s).status,
      0);
  EXPECT_EQ(runCommand("/usr/bin/xdg-open",
                       {"tarnwick://desktop-pair?server=https://pair.example:9443/s%3Fa%3D1%26b"
                        "&code=abcd2345&completion_url=https://TARNWICK.com/done&"
                        "completion_token=a%26b"},
                       desktop, 30s)
                .status,
            0);
  EXPECT_TRUE(
      pairingPage("?server=https://pair.example:9443/s%3Fa%3D1%26b&code=ABCD2345"
                  "&completion_url=https://TARNWICK.com/done&completion_token=a%26b"))
      << connector.get("/test/log").dump();
  EXPECT_TRUE(screen.above(session.main.id, cover));
  EXPECT_TRUE(session.quit());
}

}  // namespace
}  // namespace tarnwick::e2e
