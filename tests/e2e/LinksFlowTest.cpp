// Links end to end: a pairing link handed to a running shell by a second copy, and an invitation
// redeemed at cold start against the stand-in service host over HTTPS.
#include <gtest/gtest.h>

#include <fstream>

#include "Harness.h"
#include "ShellSession.h"
#include "StandIn.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

auto interfaceLoaded() {
  return logEntryWith({{"event", "loaded"}, {"path", "/"}, {"isTop", true}});
}

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

// The stand-in service host, trusted through a test CA, reached under the service host's name.
class ServiceHost {
 public:
  explicit ServiceHost(const fs::path& folder) : folder_(folder) {
    auto made = runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, folder.string()}, {}, 60s);
    if (made.status != 0) {
      return;
    }
    Process::Options options;
    options.stdoutFile = folder / "service.out";
    process_ = std::make_unique<Process>(
        TARNWICK_SERVICE_HOST,
        std::vector<std::string>{"--cert", (folder / "server.crt").string(), "--key",
                                 (folder / "server.key").string(), "--port", std::to_string(port),
                                 "--log", (folder / "requests.jsonl").string()},
        options);
    ready_ = waitUntil(
        [&] {
          std::ifstream out(folder / "service.out");
          std::string line;
          return std::getline(out, line) && line.starts_with("listening");
        },
        20s);
  }
  bool ready() const { return ready_; }
  std::string requests() const {
    std::ifstream file(folder_ / "requests.jsonl");
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  // Runs the shell with the service host's name mapped to loopback and the test CA trusted, in a
  // mount namespace of its own: the shell reads no setting of ours.
  std::unique_ptr<Process> launchShell(ShellSession& session, const std::string& link) const {
    std::ofstream(folder_ / "hosts") << "127.0.0.1 localhost tarnwick.com\n";
    {
      std::ifstream system("/etc/ssl/certs/ca-certificates.crt");
      std::ifstream ca(folder_ / "ca.crt");
      std::ofstream bundle(folder_ / "ca-bundle.crt");
      bundle << system.rdbuf() << ca.rdbuf();
    }
    std::string script =
        "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/ssl/certs/ca-certificates.crt "
        "&& shift 2 && exec \"$@\"";
    return std::make_unique<Process>(
        "/usr/bin/unshare",
        std::vector<std::string>{"--mount", "--propagation", "private", "/bin/sh", "-c", script,
                                 "sh", (folder_ / "hosts").string(),
                                 (folder_ / "ca-bundle.crt").string(), appExecutable().string(),
                                 link},
        session.environment("shell"));
  }

  static constexpr int port = 18443;

 private:
  fs::path folder_;
  std::unique_ptr<Process> process_;
  bool ready_ = false;
};

std::string redemptionURL(const std::string& installCode, int port = ServiceHost::port) {
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
  ServiceHost service{folder.path()};
  ShellSession session{ShellSession::PageText::read};
};

TEST_F(Invitation, AtColdStartIsRedeemedAndEndsOnThePairingPage) {
  // The service takes its time, so that what shows meanwhile can be read.
  auto shell = service.launchShell(session, invitation(redemptionURL("slow-6")));
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
      << client.log().dump() << "\nservice: " << service.requests();
  EXPECT_NE(service.requests().find("/support/install/slow-6/pair"), std::string::npos);
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
      {redemptionURL("any", ServiceHost::port + 1), "Could not connect to the server." + suffix},
  };
  std::unique_ptr<Process> shell;
  for (const auto& [redemption, shown] : cases) {
    SCOPED_TRACE(redemption);
    if (!shell) {
      shell = service.launchShell(session, invitation(redemption));
      ASSERT_TRUE(shell->started());
      ASSERT_TRUE(session.waitForMainWindow());
    } else {
      auto second = runCommand(appExecutable().string(), {invitation(redemption)},
                               session.environment("second"), 30s);
      EXPECT_EQ(second.status, 0);
    }
    EXPECT_TRUE(session.waitForPageText(shown, 40s))
        << ::testing::PrintToString(session.pageText()) << "\nservice: " << service.requests();
  }
  session.screenshot("links-invitation-failed");
  EXPECT_TRUE(session.connectors().empty());
  EXPECT_FALSE(client.answers());
  shell->terminate();
}

}  // namespace
}  // namespace tarnwick::e2e
