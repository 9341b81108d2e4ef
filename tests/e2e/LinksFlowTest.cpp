// Links end to end: a pairing link handed to a running shell by a second copy, and an invitation
// redeemed at cold start against the stand-in service host over HTTPS.
#include <gtest/gtest.h>

#include "Harness.h"
#include "ServiceHost.h"
#include "ShellSession.h"
#include "StandIn.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

auto pairingPageLoaded(const std::string& search) {
  return logEntryWith(
      {{"event", "loaded"}, {"path", "/support"}, {"isTop", true}, {"search", search}});
}

// A shell already running and showing the interface.
class RunningShell : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(client.answers()) << "something already listens on 127.0.0.1:8766";
    ASSERT_TRUE(session.ready());
    ASSERT_TRUE(session.launch());
    ASSERT_TRUE(session.waitForMainWindow());
    ASSERT_TRUE(client.waitForLog(interfaceLoaded(), 60s)) << "the interface never loaded";
  }
  ConnectorClient client;
  ShellSession session;
};

TEST_F(RunningShell, APairingLinkGivenToASecondCopyOpensThePairingPageInTheRunningShell) {
  auto second = runCommand(appExecutable().string(),
                           {"tarnwick://desktop-pair?server=https://pair.example:9443/s%3Fa%3D1%26b"
                            "&code=abcd2345&completion_url=https://TARNWICK.com/done&"
                            "completion_token=a%26b"},
                           session.environment("second"), 30s);
  EXPECT_EQ(second.status, 0);
  // The code arrives upper-cased and every value intact, its "?", "=" and "&" escaped.
  EXPECT_TRUE(client.waitForLog(
      pairingPageLoaded("?server=https://pair.example:9443/s%3Fa%3D1%26b&code=ABCD2345"
                        "&completion_url=https://TARNWICK.com/done&completion_token=a%26b"),
      30s))
      << client.log().dump();
  session.screenshot("links-pairing-page");
  EXPECT_TRUE(session.shell().running());
  EXPECT_EQ(session.screen().shellWindows().size(), 1U);
}

// The desktop's own way: the link opened with xdg-open, through the registered desktop entry.
TEST_F(RunningShell, APairingLinkOpenedWithXdgOpenReachesTheRunningShell) {
  auto desktop = session.environment("xdg-open");
  desktop.environment["BROWSER"] = "false";  // nothing else may take the link
  desktop.environment["DESTDIR"] = (session.home() / "staged").string();  // not the machine's /etc
  desktop.unset.insert(desktop.unset.end(),
                       {"DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"});
  auto installed = runCommand(
      "/bin/bash", {TARNWICK_INSTALL_DESKTOP_ENTRY, appExecutable().string()}, desktop, 30s);
  ASSERT_EQ(installed.status, 0);
  auto opened = runCommand("/usr/bin/xdg-open",
                           {"tarnwick://desktop-pair?server=https://pair.example&code=WXYZ2345"
                            "&completion_url=https://tarnwick.com/done&completion_token=tok"},
                           desktop, 30s);
  EXPECT_EQ(opened.status, 0);
  EXPECT_TRUE(client.waitForLog(
      pairingPageLoaded("?server=https://pair.example&code=WXYZ2345"
                        "&completion_url=https://tarnwick.com/done&completion_token=tok"),
      30s))
      << client.log().dump();
  EXPECT_EQ(session.screen().shellWindows().size(), 1U);
}

// The stand-in service host on a port of its own, writing down each request.
constexpr int servicePort = 18443;

std::string redemptionURL(const std::string& installCode, int port = servicePort) {
  return "https://tarnwick.com:" + std::to_string(port) + "/support/install/" + installCode +
         "/pair";
}

std::string invitation(const std::string& redemption) {
  return "tarnwick://desktop-invite?invite=" + redemption;
}

// The stand-in service host up, and a session whose page text can be read; the shell is
// started by the test, with its link.
class Invitation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(client.answers()) << "something already listens on 127.0.0.1:8766";
    ASSERT_TRUE(service.ready()) << "the stand-in service host did not start";
    ASSERT_TRUE(session.ready());
  }
  ConnectorClient client;
  TemporaryFolder folder{"tarnwick-service"};
  ServiceHost service{
      folder.path(), servicePort, {"--log", (folder.path() / "requests.jsonl").string()}};
  std::string requests() const { return readFile(folder.path() / "requests.jsonl"); }
  ShellSession session{ShellSession::PageText::read};
};

TEST_F(Invitation, AtColdStartIsRedeemedAndEndsOnThePairingPage) {
  // The service takes its time, so that what shows meanwhile can be read.
  auto shell = service.launchShell(session, {invitation(redemptionURL("slow-6"))});
  ASSERT_TRUE(shell->started());
  ASSERT_TRUE(session.waitForMainWindow());
  EXPECT_TRUE(session.waitForPageText("Preparing your secure connection…", 20s))
      << ::testing::PrintToString(session.pageText());
  // Held for the redemption: no Connector was started or asked.
  EXPECT_TRUE(session.connectors().empty());
  EXPECT_FALSE(client.answers());
  session.screenshot("links-invitation-preparing");

  // The service's answer becomes the pairing page: its "&" and "+" arrive escaped.
  EXPECT_TRUE(client.waitForLog(
      pairingPageLoaded("?server=https://pairing.example:8443/servers/slow-6&code=TWCK2345"
                        "&completion_url=https://tarnwick.com/support/install/slow-6/complete"
                        "&completion_token=t%26k%2Bslow-6"),
      60s))
      << client.log().dump() << "\nservice: " << requests();
  EXPECT_NE(requests().find("/support/install/slow-6/pair"), std::string::npos);
  session.screenshot("links-invitation-pairing-page");
  shell->terminate();
}

// The first invitation arrives at cold start, the others through a second copy to the running
// shell. Each failure puts its sentence on the status page, and no connection follows.
TEST_F(Invitation, AFailingRedemptionShowsTheServicesSentenceOrTheTransferErrorWithTheSuffix) {
  const std::string suffix = " Ask your Tarnwick for a new setup link.";
  struct Case {
    std::string redemption;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {redemptionURL("error-expired"), "This setup link has expired." + suffix},
      {redemptionURL("not-json-page"), "The setup link could not be prepared." + suffix},
      // Nothing listens there: the transfer's own sentence.
      {redemptionURL("any", servicePort + 1), "Could not connect to the server." + suffix},
  };
  std::unique_ptr<Process> shell;
  for (const auto& [redemption, shown] : cases) {
    SCOPED_TRACE(redemption);
    if (!shell) {
      shell = service.launchShell(session, {invitation(redemption)});
      ASSERT_TRUE(shell->started());
      ASSERT_TRUE(session.waitForMainWindow());
    } else {
      auto second = runCommand(appExecutable().string(), {invitation(redemption)},
                               session.environment("second"), 30s);
      EXPECT_EQ(second.status, 0);
    }
    EXPECT_TRUE(session.waitForPageText(shown, 40s))
        << ::testing::PrintToString(session.pageText()) << "\nservice: " << requests();
  }
  session.screenshot("links-invitation-failed");
  EXPECT_TRUE(session.connectors().empty());
  EXPECT_FALSE(client.answers());
  shell->terminate();
}

}  // namespace
}  // namespace tarnwick::e2e
