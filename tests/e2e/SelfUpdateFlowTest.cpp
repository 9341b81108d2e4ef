// Self-update end to end: the bundle installed in a folder of the user's ("My Apps"), the stand-in
// service host (HTTPS on the manifest's own port, in private namespaces) offering a signed 1.0.1
// made by the release tooling, the alert answered through the accessibility bus.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "Harness.h"
#include "ShellSession.h"
#include "StandIn.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

const std::string version = TARNWICK_PROJECT_VERSION;

// Processes whose executable is `executable`, by pid.
std::vector<int> processesRunning(const fs::path& executable) {
  std::vector<int> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const auto name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::error_code unreadable;
    if (fs::read_symlink(entry.path() / "exe", unreadable) == executable) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

class SelfUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(client.answers()) << "something already listens on 127.0.0.1:8766";
    ASSERT_TRUE(session.ready());
    ASSERT_EQ(runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, folder.path().string()}, {}, 60s)
                  .status,
              0);
    fs::create_directories(installed.parent_path());
    fs::create_directories(temporary);
    ASSERT_EQ(runCommand("/bin/cp", {"-a", TARNWICK_BUNDLE_DIR, installed.string()}).status, 0);
    auto published = runCommand(
        "/bin/sh", {TARNWICK_PUBLISH_RELEASE, "--bundle", TARNWICK_BUNDLE_DIR, "--version", "1.0.1",
                    "--build", "2", "--url", "https://tarnwick.com/support/mac/download", "--out",
                    release.string(), "--key", TARNWICK_SIGNING_DIR "/signing.key", "--cert",
                    TARNWICK_SIGNING_DIR "/signing.pem", "--release-tool", TARNWICK_RELEASE_TOOL},
        {}, 120s);
    ASSERT_EQ(published.status, 0);
    setManifest("version-" + version);
    Process::Options options;
    options.stdoutFile = folder.path() / "service.out";
    options.environment["TARNWICK_SERVICE_MANIFEST_MODE"] = (folder.path() / "mode").string();
    options.environment["TARNWICK_SERVICE_MANIFEST_REQUESTS"] =
        (folder.path() / "requests.jsonl").string();
    service = std::make_unique<Process>(
        TARNWICK_SERVICE_HOST,
        std::vector<std::string>{"--cert", (folder.path() / "server.crt").string(), "--key",
                                 (folder.path() / "server.key").string(), "--port", "443",
                                 "--download-image", (release / "Tarnwick.dmg").string(),
                                 "--download-mode", "slow-4"},
        options);
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(folder.path() / "service.out").starts_with("listening"); }, 20s))
        << "the stand-in service host did not start on port 443";
  }
  void TearDown() override {
    for (int pid : processesRunning(executable())) {
      endProcess(pid);
    }
  }

  fs::path executable() const { return installed / "Contents" / "MacOS" / "Tarnwick"; }
  void setManifest(const std::string& mode) const {
    std::ofstream(folder.path() / "mode") << mode << "\n";
  }
  std::size_t manifestRequests() const {
    auto text = readFile(folder.path() / "requests.jsonl");
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  // The installed copy, with tarnwick.com mapped to loopback and the test CA trusted in a mount
  // namespace of its own, and its temporary folder a private one.
  void start() {
    std::ofstream(folder.path() / "hosts") << "127.0.0.1 localhost tarnwick.com\n";
    {
      std::ifstream system("/etc/ssl/certs/ca-certificates.crt");
      std::ifstream ca(folder.path() / "ca.crt");
      std::ofstream bundle(folder.path() / "ca-bundle.crt");
      bundle << system.rdbuf() << ca.rdbuf();
    }
    auto options = session.environment("shell");
    options.environment["TMPDIR"] = temporary.string();
    shell = std::make_unique<Process>(
        "/usr/bin/unshare",
        std::vector<std::string>{
            "--mount", "--propagation", "private", "/bin/sh", "-c",
            "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" "
            "/etc/ssl/certs/ca-certificates.crt && shift 2 && exec \"$@\"",
            "sh", (folder.path() / "hosts").string(), (folder.path() / "ca-bundle.crt").string(),
            executable().string()},
        options);
    ASSERT_TRUE(shell->started());
    ASSERT_TRUE(session.waitForMainWindow());
    ASSERT_TRUE(client.waitForLog(
        logEntryWith({{"event", "loaded"}, {"path", "/"}, {"isTop", true}}), 60s));
    // The automatic check finds the shell's own version and stays silent.
    ASSERT_TRUE(waitUntil([&] { return manifestRequests() == 1; }, 30s));
  }

  std::vector<std::string> alerts() {
    auto read = runCommand(TARNWICK_ALERT_PROBE, {}, session.environment("alert-probe"), 20s);
    std::vector<std::string> lines;
    std::istringstream stream(read.output);
    for (std::string line; std::getline(stream, line);) {
      lines.push_back(line);
    }
    return lines;
  }
  bool press(const std::string& name) {
    return runCommand(TARNWICK_ALERT_PROBE, {"--press", name}, session.environment("press"), 20s)
               .status == 0;
  }

  ConnectorClient client;
  TemporaryFolder folder{"tarnwick-self-update"};
  fs::path installed = folder.path() / "My Apps" / "Tarnwick.app";
  fs::path release = folder.path() / "release";
  fs::path temporary = folder.path() / "tmp";
  ShellSession session{ShellSession::PageText::read};
  std::unique_ptr<Process> service;
  std::unique_ptr<Process> shell;
};

TEST_F(SelfUpdate, InstallAndRelaunchReplacesTheBundleInPlaceAndTheNewCopyRunsFromThere) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string before = readFile(installed / "Contents" / "Info.plist");
  setManifest("file " + (release / "latest.json").string());
  ASSERT_TRUE(press("Check for Updates\u2026"));
  std::vector<std::string> lines;
  ASSERT_TRUE(waitUntil(
      [&] {
        lines = alerts();
        return std::find(lines.begin(), lines.end(), "text: Tarnwick 1.0.1 Is Available") !=
               lines.end();
      },
      30s))
      << ::testing::PrintToString(lines);
  ASSERT_TRUE(press("Install and Relaunch"));
  EXPECT_TRUE(session.waitForPageText("Downloading Tarnwick 1.0.1\u2026", 20s))
      << ::testing::PrintToString(session.pageText());
  session.screenshot("self-update-downloading");

  // The old process quits on its own; reaping it lets the installer see it gone.
  ASSERT_TRUE(waitUntil([&] { return !shell->running(); }, 60s)) << "the old copy never quit";
  std::vector<int> reopened;
  ASSERT_TRUE(waitUntil(
      [&] {
        reopened = processesRunning(executable());
        return !reopened.empty();
      },
      60s))
      << "nothing was reopened from " << installed;
  EXPECT_NE(readFile(installed / "Contents" / "Info.plist"), before);
  EXPECT_NE(readFile(installed / "Contents" / "Info.plist").find("<string>1.0.1</string>"),
            std::string::npos);
  EXPECT_TRUE(waitUntil(
      [&] {
        auto answer = client.get("/");
        return answer && answer->server == "TarnwickDesktop/1.0.1";
      },
      60s))
      << "the new copy's own Connector never answered";
  EXPECT_TRUE(waitUntil([&] { return fs::is_empty(temporary); }, 30s))
      << "the work directory stayed";
}

}  // namespace
}  // namespace tarnwick::e2e
