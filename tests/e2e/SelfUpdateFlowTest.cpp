// Self-update end to end: the bundle installed in a folder of the user's ("My Apps"), the stand-in
// service host (HTTPS on the manifest's own port, in private namespaces) offering a signed 1.0.1
// made by the release tooling, the alert answered through the accessibility bus.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
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
  // How the service host answers the download.
  virtual std::string downloadMode() const { return "slow-4"; }
  // Called before the host starts, which reads the image once: may replace the published image
  // and choose what the manifest says.
  virtual void prepareOffer() { offered = "file " + (release / "latest.json").string(); }

  void SetUp() override {
    ASSERT_FALSE(client.answers()) << "something already listens on 127.0.0.1:8766";
    ASSERT_TRUE(session.ready());
    ASSERT_EQ(
        runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, folder.path().string()}, {}, 60s).status,
        0);
    fs::create_directories(installed.parent_path());
    fs::create_directories(temporary);
    ASSERT_EQ(runCommand("/bin/cp", {"-a", TARNWICK_BUNDLE_DIR, installed.string()}).status, 0);
    publish("1.0.1", release);
    // The image the host serves and the manifest that offers it, as each test wants them.
    ASSERT_NO_FATAL_FAILURE(prepareOffer());
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
                                 "--download-mode", downloadMode()},
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

  // Publishes the built bundle as `version`, signed with the identity in `signing`.
  fs::path publish(const std::string& releaseVersion, const fs::path& out,
                   const fs::path& signing = TARNWICK_SIGNING_DIR) const {
    auto published = runCommand(
        "/bin/sh",
        {TARNWICK_PUBLISH_RELEASE, "--bundle", TARNWICK_BUNDLE_DIR, "--version", releaseVersion,
         "--build", "2", "--url", "https://tarnwick.com/support/mac/download", "--out",
         out.string(), "--key", (signing / "signing.key").string(), "--cert",
         (signing / "signing.pem").string(), "--release-tool", TARNWICK_RELEASE_TOOL},
        {}, 120s);
    EXPECT_EQ(published.status, 0);
    return out;
  }

  // Runs the manual check with the manifest in `manifestMode` and answers "Install and Relaunch".
  void checkAndInstall(const std::string& manifestMode) {
    setManifest(manifestMode);
    // A check chosen while the automatic one is still being answered is dropped, as it should be;
    // the menu is chosen again until the check really asks the service.
    const auto asked = manifestRequests();
    bool checked = false;
    for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
      ASSERT_TRUE(press("Check for Updates\u2026"));
      checked = waitUntil([&] { return manifestRequests() > asked; }, 5s);
    }
    ASSERT_TRUE(checked) << "the check from the menu never asked";
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
            "/etc/ssl/certs/ca-certificates.crt && if [ -n \"$3\" ]; then mount -t tmpfs -o "
            "size=\"$3\" tmpfs \"$TMPDIR\"; fi && shift 3 && exec \"$@\"",
            "sh", (folder.path() / "hosts").string(), (folder.path() / "ca-bundle.crt").string(),
            temporaryLimit ? std::to_string(*temporaryLimit) : "", executable().string()},
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
  std::string offered;  // the manifest mode of the check from the menu
  // When set, the shell's temporary folder is a file system of this many bytes.
  std::optional<std::uintmax_t> temporaryLimit;
  std::unique_ptr<Process> service;
  std::unique_ptr<Process> shell;
};

TEST_F(SelfUpdate, InstallAndRelaunchReplacesTheBundleInPlaceAndTheNewCopyRunsFromThere) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string before = readFile(installed / "Contents" / "Info.plist");
  ASSERT_NO_FATAL_FAILURE(checkAndInstall(offered));
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

// Each failure shows its sentence, leaves the installed bundle as it was, and brings the interface
// back; the shell keeps running.
struct Failure {
  std::string name;
  std::string downloadMode;
  std::string reason;
};

void PrintTo(const Failure& failure, std::ostream* out) {
  *out << failure.name;
}

class SelfUpdateFailure : public SelfUpdate, public ::testing::WithParamInterface<Failure> {
 protected:
  std::string downloadMode() const override { return GetParam().downloadMode; }
  void prepareOffer() override {
    SelfUpdate::prepareOffer();
    const auto& name = GetParam().name;
    if (name == "checksum") {
      offered = "version-1.0.1";  // the stand-in's own digest, not the image's
    } else if (name == "olderBuild") {
      // A validly signed 0.9.0, announced as 1.0.1 with its true digest.
      auto older = publish("0.9.0", folder.path() / "older");
      auto written =
          runCommand(TARNWICK_RELEASE_TOOL, {"manifest", "--version", "1.0.1", "--build", "3",
                                             "--url", "https://tarnwick.com/support/mac/download",
                                             "--image", (older / "Tarnwick.dmg").string()});
      ASSERT_EQ(written.status, 0);
      std::ofstream(folder.path() / "older.json") << written.output;
      fs::copy_file(older / "Tarnwick.dmg", release / "Tarnwick.dmg",
                    fs::copy_options::overwrite_existing);
      offered = "file " + (folder.path() / "older.json").string();
    } else if (name == "diskFull") {
      // Room for the download and half the bundle it holds: unpacking the image runs out.
      std::uintmax_t bundleBytes = 0;
      for (const auto& entry : fs::recursive_directory_iterator(TARNWICK_BUNDLE_DIR)) {
        bundleBytes += entry.is_regular_file() && !entry.is_symlink() ? entry.file_size() : 0;
      }
      temporaryLimit = fs::file_size(release / "Tarnwick.dmg") + 65536 + bundleBytes / 2;
    } else if (name == "otherTeam") {
      // Signed under the same root by another team.
      auto team = folder.path() / "other-team";
      ASSERT_EQ(runCommand("/bin/sh", {TARNWICK_MAKE_IDENTITY, "leaf", team.string(),
                                       TARNWICK_SIGNING_DIR, "Q9OTHER7TM"})
                    .status,
                0);
      auto other = publish("1.0.1", folder.path() / "other", team);
      fs::copy_file(other / "Tarnwick.dmg", release / "Tarnwick.dmg",
                    fs::copy_options::overwrite_existing);
      offered = "file " + (other / "latest.json").string();
    }
  }
};

TEST_P(SelfUpdateFailure, SaysWhyAndLeavesTheInstalledBundleAsItWas) {
  const auto& failure = GetParam();
  const auto before = treeOf(installed);
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(client.clearLog());
  ASSERT_NO_FATAL_FAILURE(checkAndInstall(offered));

  const std::string sentence = "text: This update was not installed because " + failure.reason +
                               ". Nothing on this Mac was changed. Try again from Tarnwick "
                               "\u2192 Check for Updates\u2026";
  std::vector<std::string> lines;
  EXPECT_TRUE(waitUntil(
      [&] {
        lines = alerts();
        return std::find(lines.begin(), lines.end(), sentence) != lines.end();
      },
      90s))
      << ::testing::PrintToString(lines);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "text: Tarnwick Could Not Update"), lines.end());
  session.screenshot("self-update-failure-" + failure.name);
  EXPECT_TRUE(
      client.waitForLog(logEntryWith({{"event", "loaded"}, {"path", "/"}, {"isTop", true}}), 60s))
      << "the interface did not come back";
  EXPECT_TRUE(shell->running());
  EXPECT_TRUE(treeOf(installed) == before) << "the installed bundle changed";
  EXPECT_TRUE(waitUntil([&] { return fs::is_empty(temporary); }, 10s));
  ASSERT_TRUE(press("OK"));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, SelfUpdateFailure,
    ::testing::Values(Failure{"checksum", "image",
                              "the download did not match the checksum Tarnwick published"},
                      Failure{"notFound", "404", "the download did not finish"},
                      Failure{"dropped", "drop", "the download did not finish"},
                      Failure{"olderBuild", "image",
                              "the download was not a version Apple and Tarnwick both signed"},
                      Failure{"otherTeam", "image",
                              "the download was not a version Apple and Tarnwick both signed"},
                      Failure{"diskFull", "image", "the download could not be opened"}),
    [](const ::testing::TestParamInfo<Failure>& param) { return param.param.name; });

}  // namespace
}  // namespace tarnwick::e2e
