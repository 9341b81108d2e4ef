// The update check end to end: the real bundle asks the stand-in service host (HTTPS, a test CA,
// the service host's name mapped to loopback in a mount namespace of the shell's own) for the
// release manifest, and the stand-in Connector about the interface; what the user sees is read
// through the accessibility bus.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <thread>

#include "Harness.h"
#include "ServiceHost.h"
#include "ShellSession.h"
#include "StandIn.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

const std::string version = TARNWICK_PROJECT_VERSION;
const std::string installText =
    "Tarnwick will install this itself and reopen. Your home and member connection are preserved.";
const std::string newestNote = "The Mac app itself, " + version +
                               ", is also the newest; it changes only when the app is rebuilt, so "
                               "it can stand still for months.";

class UpdateFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(client.answers()) << "something already listens on 127.0.0.1:8766";
    ASSERT_TRUE(service.ready()) << "the stand-in service host did not start on port 443";
    ASSERT_TRUE(session.ready());
  }

  void start(const std::optional<fs::path>& readOnly = {}) {
    shell = service.launchShell(session, {}, readOnly);
    ASSERT_TRUE(shell->started());
    ASSERT_TRUE(session.waitForMainWindow());
    ASSERT_TRUE(client.waitForLog(interfaceLoaded(), 60s)) << "the interface never loaded";
  }

  // Started with the shell's own version on offer, so that the automatic check 5 s after launch
  // passes silently; from then on the manifest is served in `mode`, for the check from the menu.
  void startForAManualCheck(const std::string& mode, const std::optional<fs::path>& readOnly = {}) {
    setMode("version-" + version);
    start(readOnly);
    ASSERT_TRUE(waitUntil([&] { return requests().size() == 1; }, 30s))
        << "the automatic check never asked";
    std::this_thread::sleep_for(1s);
    ASSERT_FALSE(has(alerts(), "alert"));
    setMode(mode);
  }

  void setMode(const std::string& mode) { writeFile(folder.path() / "mode", mode + "\n"); }
  // One JSON object for each manifest request, oldest first.
  std::vector<Json> requests() {
    std::vector<Json> found;
    for (const auto& line : linesOf(readFile(folder.path() / "requests.jsonl"))) {
      found.push_back(Json::parse(line, nullptr, false));
    }
    return found;
  }

  // What the shell's alerts say: "alert", then "text: …" and "button: …" lines.
  std::vector<std::string> alerts() {
    return linesOf(
        runCommand(TARNWICK_ALERT_PROBE, {}, session.environment("alert-probe"), 20s).output);
  }
  std::vector<std::string> waitForAlert(const std::string& title, Clock::duration timeout = 30s) {
    std::vector<std::string> lines;
    waitUntil(
        [&] {
          lines = alerts();
          return std::find(lines.begin(), lines.end(), "text: " + title) != lines.end();
        },
        timeout);
    return lines;
  }
  // The accessibility tree of a window that has just appeared may not list everything yet, so a
  // name that is not found is looked for again for a while.
  bool press(const std::string& name) {
    return waitUntil(
        [&] {
          return runCommand(TARNWICK_ALERT_PROBE, {"--press", name}, session.environment("press"),
                            20s)
                     .status == 0;
        },
        20s);
  }
  // A check chosen while the automatic one is still being answered is dropped, as it should be;
  // the menu is chosen again until the check really asks the service.
  bool checkFromMenu() {
    const auto asked = requests().size();
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (!press("Check for Updates\u2026")) {
        return false;
      }
      if (waitUntil([&] { return requests().size() > asked; }, 5s)) {
        return true;
      }
    }
    return false;
  }

  static bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::string preferences() {
    return readFile(session.home() / ".config" / "Tarnwick" / "preferences.ini");
  }
  // What the stand-in Connector's interface check answers from now on.
  static bool setClientCheck(const std::string& answer) {
    auto result =
        httplib::Client("127.0.0.1", 8766).Post("/test/client-check", answer, "application/json");
    return result && result->status == 204;
  }
  std::string pageVersion() {
    auto root = client.get("/");
    const std::string marker = R"(<meta name="tarnwick-client-version" content=")";
    auto at = root ? root->body.find(marker) : std::string::npos;
    if (at == std::string::npos) {
      return "";
    }
    at += marker.size();
    return root->body.substr(at, root->body.find('"', at) - at);
  }

  ConnectorClient client;
  TemporaryFolder folder{"tarnwick-update"};
  // The stand-in service host on the manifest's own port, serving it in the mode written to a file.
  ServiceHost service{
      folder.path(),
      443,
      {},
      {{"TARNWICK_SERVICE_MANIFEST_MODE", (folder.path() / "mode").string()},
       {"TARNWICK_SERVICE_MANIFEST_REQUESTS", (folder.path() / "requests.jsonl").string()}}};
  ShellSession session{ShellSession::PageText::read};
  std::unique_ptr<Process> shell;
};

TEST_F(UpdateFlow, AManualCheckOffersTheNewerBuildAndRecordsTheOffer) {
  ASSERT_NO_FATAL_FAILURE(startForAManualCheck("newer"));
  ASSERT_TRUE(checkFromMenu());
  auto lines = waitForAlert("Tarnwick 99.0.0 Is Available");
  session.screenshot("update-alert");
  EXPECT_TRUE(has(lines, "text: Faster start.\\nSteadier sync.\\n\\n" + installText))
      << ::testing::PrintToString(lines);
  // The first button is the default and stands rightmost, so it is read last.
  EXPECT_TRUE(has(lines, "button: Install and Relaunch") && has(lines, "button: Later"))
      << ::testing::PrintToString(lines);

  auto asked = requests();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked.back()["method"], "GET");
  EXPECT_EQ(asked.back()["headers"].value("User-Agent", ""), "Tarnwick/" + version + " macOS");
  EXPECT_EQ(asked.back()["headers"].value("Cache-Control", ""), "no-cache");
  EXPECT_NE(preferences().find("TarnwickLastUpdatePromptVersion=99.0.0"), std::string::npos)
      << preferences();
  EXPECT_NE(preferences().find("TarnwickLastUpdatePromptDate.date="), std::string::npos);

  ASSERT_TRUE(press("Later"));
  EXPECT_TRUE(waitUntil([&] { return !has(alerts(), "alert"); }, 15s)) << "Later closes it";
  shell->terminate();
}

TEST_F(UpdateFlow, FromAReadOnlyFolderTheAlertOffersTheDownloadInTheDefaultBrowser) {
  // A browser of our own, the home's default for https addresses, that writes down what it gets.
  auto opened = session.home() / "opened.txt";
  auto recorder = session.home() / "record-url.sh";
  std::ofstream(recorder) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened.string() << "'\n";
  fs::permissions(recorder, fs::perms::owner_all);
  fs::create_directories(session.home() / ".local/share/applications");
  std::ofstream(session.home() / ".local/share/applications/recording-browser.desktop")
      << "[Desktop Entry]\nType=Application\nName=Recording browser\nExec=" << recorder.string()
      << " %u\nMimeType=x-scheme-handler/https;\n";
  fs::create_directories(session.home() / ".config");
  std::ofstream(session.home() / ".config/mimeapps.list")
      << "[Default Applications]\nx-scheme-handler/https=recording-browser.desktop\n";

  ASSERT_NO_FATAL_FAILURE(startForAManualCheck(
      "newer", appExecutable().parent_path().parent_path().parent_path().parent_path()));
  ASSERT_TRUE(checkFromMenu());
  auto lines = waitForAlert("Tarnwick 99.0.0 Is Available");
  EXPECT_TRUE(has(lines, "button: Download") && !has(lines, "button: Install and Relaunch"))
      << ::testing::PrintToString(lines);
  ASSERT_TRUE(press("Download"));
  EXPECT_TRUE(waitUntil(
      [&] { return readFile(opened) == "https://tarnwick.com/support/mac/download\n"; }, 20s))
      << readFile(opened);
  shell->terminate();
}

TEST_F(UpdateFlow, OnTheNewestBuildTheSheetCombinesTheInterfaceAndTheApp) {
  ASSERT_NO_FATAL_FAILURE(startForAManualCheck("version-" + version));
  auto interface = pageVersion();
  ASSERT_FALSE(interface.empty());
  ASSERT_TRUE(setClientCheck(Json{
      {"client_version", interface}, {"client_source", "channel"}, {"last_result", "up to date"}}
                                 .dump()));
  ASSERT_TRUE(checkFromMenu());
  auto lines = waitForAlert("Tarnwick Is Up to Date");
  session.screenshot("update-up-to-date");
  EXPECT_TRUE(has(lines, "text: You are on the newest interface, " + interface + ". " + newestNote))
      << ::testing::PrintToString(lines);
  ASSERT_TRUE(press("OK"));
  shell->terminate();
}

TEST_F(UpdateFlow, AnInstalledInterfaceIsOfferedForReloadAndReloadNowReloadsIt) {
  ASSERT_NO_FATAL_FAILURE(startForAManualCheck("older"));
  ASSERT_TRUE(setClientCheck(
      R"({"client_version":"2026.12.9","client_source":"channel","last_result":"installed"})"));
  ASSERT_TRUE(checkFromMenu());
  auto lines = waitForAlert("A Newer Interface Is Ready");
  EXPECT_TRUE(has(
      lines, "text: Interface 2026.12.9 has arrived. Reload now to start using it. " + newestNote))
      << ::testing::PrintToString(lines);
  ASSERT_TRUE(client.clearLog());
  ASSERT_TRUE(press("Reload Now"));
  EXPECT_TRUE(client.waitForLog(interfaceLoaded(), 30s)) << "Reload Now reloads the interface";
  shell->terminate();
}

TEST_F(UpdateFlow, TheAutomaticCheckPromptsOnceAndARelaunchWithinADayDoesNot) {
  start();
  auto lines = waitForAlert("Tarnwick 99.0.0 Is Available", 30s);
  ASSERT_TRUE(has(lines, "alert")) << "no automatic prompt";
  ASSERT_TRUE(press("Later"));
  shell->terminate();
  shell->wait(10s);

  start();
  ASSERT_TRUE(waitUntil([&] { return requests().size() == 2; }, 30s))
      << "the second launch checks too";
  std::this_thread::sleep_for(3s);  // the answer has arrived; nothing may follow it
  EXPECT_FALSE(has(alerts(), "alert")) << ::testing::PrintToString(alerts());
  shell->terminate();
}

}  // namespace
}  // namespace tarnwick::e2e
