// The core on the fakes, but with the real command runner and /bin/sh running stand-in tools: the
// stale-listener stop, the installer script, and an update handed over to that script.
#include "FakePlatform.h"
#include "Integration.h"
#include "connector/PosixCommandRunner.h"
#include "update/InstallerScript.h"
#include "update/Sha256.h"
#include "update/TarnwickRelease.h"

namespace tarnwick::integration {
namespace {

// Info values of another bundle, read from its version file.
struct VersionFileBundle final : platform::Bundle {
  std::optional<fs::path> bundlePath() override { return std::nullopt; }
  std::optional<std::string> bundleIdentifier() override { return std::nullopt; }
  platform::InfoValue infoValue(const std::string&) override { return version; }
  platform::InfoValue infoValueAt(const fs::path& bundle, const std::string&) override {
    auto text = readFile(bundle / "Contents/version");
    return text.empty() ? platform::InfoValue(platform::InfoAbsent{}) : text;
  }
  platform::InfoValue version = platform::InfoAbsent{};
};

class RealRunner : public testing::Test {
 protected:
  std::string log() const { return readFile(logFile); }
  // A bundle whose tools, like the real one's, log each run as "<tool> of <version>: <arguments>".
  void makeBundle(const fs::path& at, const std::string& version, int files = 2) {
    fs::create_directories(at / "Contents");
    writeFile(at / "Contents/version", version);
    fs::create_symlink("version", at / "Contents/link");
    for (int index = 0; index < files; ++index) {
      writeFile(at / "Contents" / ("payload-" + std::to_string(index)), version + "-" + std::to_string(index));
    }
    auto logs = "echo \"$(basename \"$0\") of " + version + ": $*\" >> " + logFile.string() + "\n";
    // The copy of a bundle holding "fail-copy" fails, once copied.
    writeScript(at / "Contents/Helpers/ditto", logs + "/bin/cp -a \"$1\" \"$2\" && [ ! -e \"$1/Contents/fail-copy\" ]");
    writeScript(at / "Contents/Helpers/launchctl", logs + "exit 3");
    writeScript(at / "Contents/Helpers/open",
                "echo \"open of " + version + ": $* ($(cat \"$2/Contents/version\"))\" >> " + logFile.string());
  }

  TemporaryFolder folder{"tarnwick-real-runner"};
  fs::path logFile = folder.path() / "log";
  fs::path tools = folder.path() / "tool;box";  // a tool path the script must quote
  std::map<std::string, fs::path> located;
  connector::PosixCommandRunner runner{[this](const std::string& path) {
    return located.contains(path) ? located[path].string() : path;
  }};
  fakes::FakePlatform fakes;
  VersionFileBundle bundle;
  platform::Platform ports{fakes.mainQueue,   fakes.sleeper,         fakes.http,
                           fakes.application, fakes.workspace,       fakes.pasteboard,
                           fakes.preferences, bundle,                fakes.loginItems,
                           fakes.deviceOwnerAuth, fakes.userFolders, runner};
  std::shared_ptr<app::TarnwickAppDelegate> delegate = std::make_shared<app::TarnwickAppDelegate>(ports);
};

TEST_F(RealRunner, TheStaleListenerStopSignalsOnlyTheListedIdsAboveOneThenPauses) {
  located = {{"/usr/sbin/lsof", tools / "lsof"}, {"/bin/kill", tools / "kill"}};
  delegate->stopStaleConnectorListener();  // no lister: nothing stopped
  writeScript(tools / "kill", "echo \"kill $*\" >> " + logFile.string());
  delegate->stopStaleConnectorListener();
  EXPECT_EQ(log(), "");
  writeScript(tools / "lsof", "echo \"lsof $*\" >> " + logFile.string() + "; cat \"$0.output\"");
  writeFile(tools / "lsof.output", "\n  4242 \n\tabc\n1\n0\n-7\n 5150\t\n\n12 13\n31\n2147483648\n");
  delegate->stopStaleConnectorListener();
  const std::string lsof = "lsof -nP -tiTCP:8766 -sTCP:LISTEN -a -u " + std::to_string(::getuid());
  EXPECT_EQ(log(), lsof + "\nkill -TERM 4242\nkill -TERM 5150\nkill -TERM 31\n");

  // A stale Connector's answer makes the start stop its listener and pause before going on.
  fs::remove(logFile);
  writeFile(tools / "lsof.output", "777\n");
  bundle.version = std::string("3.1.0");
  delegate->applicationDidFinishLaunching();
  fakes.http.respondNext(fakes::FakeHttpClient::status(200, {{"Server", "TarnwickDesktop/3.0.9"}}));
  fakes.mainQueue.runUntilIdle();
  EXPECT_EQ(log(), lsof + "\nkill -TERM 777\n");
  EXPECT_EQ(fakes.sleeper.pauses, std::vector<double>{0.25});
  EXPECT_FALSE(delegate->replaceStaleConnector());
}

// The installer script run by /bin/sh for a process, with its pauses shortened and logged.
class InstallerScript : public RealRunner {
 protected:
  void prepare() {
    fs::remove_all(destination);
    makeBundle(destination, "1.0.0");
    makeBundle(staged, "1.0.1", 5);
    writeScript(tools / "sleep", "echo \"sleep $1\" >> " + logFile.string() +
                                     "\ncase $1 in 0.1) exec /bin/sleep 0.005;; esac");
    auto helper = [&](const char* tool) { return (staged / "Contents/Helpers" / tool).string(); };
    writeFile(script, update::installerScript({.sleep = (tools / "sleep").string(),
                                               .launchctl = helper("launchctl"),
                                               .ditto = helper("ditto"),
                                               .open = helper("open")}));
    fs::remove(logFile);
  }
  // The script's exit status, run for a process that lives `seconds`.
  std::optional<int> install(const std::string& seconds) {
    Process app("/bin/sleep", {seconds});
    Process installer("/bin/sh", {script, std::to_string(app.pid()), staged, destination, work});
    // Reaped as soon as it ends: a zombie still answers `kill -0`.
    EXPECT_TRUE(waitUntil([&] { return !(app.running(), installer.running()); }, 60s));
    EXPECT_FALSE(fs::exists(work)) << "removed at the end";
    return installer.wait(0s);
  }
  long polls() const { return std::ranges::count(linesOf(log()), "sleep 0.1"); }
  // The log after the polls.
  std::vector<std::string> ran() const {
    auto lines = linesOf(log());
    return {lines.begin() + polls(), lines.end()};
  }

  fs::path destination = folder.path() / "My Apps/Tarnwick.app";
  fs::path work = folder.path() / "tmp dir/TarnwickUpdate-1D4C3B2A-0000-4000-8000-000000000001";
  fs::path staged = work / "Tarnwick.app", script = work / "install.sh";
  std::string backup = "ditto of 1.0.1: " + destination.string() + " " + work.string() + "/previous.app";
  std::string copy = "ditto of 1.0.1: " + staged.string() + " " + destination.string();
  std::string stop = "launchctl of 1.0.1: bootout gui/" + std::to_string(::getuid()) + "/com.tarnwick.desktop";
  std::string restore = "ditto of 1.0.1: " + work.string() + "/previous.app " + destination.string();
  std::string reopen = "open of 1.0.1: -n " + destination.string();
};

TEST_F(InstallerScript, ReplacesTheBundleOnceTheAppHasExitedOrAfterTwoHundredPolls) {
  prepare();
  auto expected = treeOf(staged);
  ASSERT_EQ(install("0.4"), 0);
  EXPECT_EQ(treeOf(destination), expected);
  EXPECT_GT(polls(), 0);
  EXPECT_LT(polls(), 200) << "the wait ends as soon as the app has gone";
  EXPECT_EQ(ran(), (std::vector<std::string>{stop, backup, copy, reopen + " (1.0.1)", "sleep 8"}));
  prepare();
  ASSERT_EQ(install("120"), 0);
  EXPECT_EQ(polls(), 200);
  EXPECT_EQ(ran(), (std::vector<std::string>{stop, backup, copy, reopen + " (1.0.1)", "sleep 8"}));
}

TEST_F(InstallerScript, AFailedCopyLeavesOrPutsBackTheInstalledBundleAndReopensIt) {
  prepare();
  auto before = treeOf(destination);
  struct stat original {};
  ::stat((destination / "Contents/version").c_str(), &original);
  writeFile(work / "previous.app", "in the way");  // the backup fails
  EXPECT_NE(install("0"), 0);
  struct stat after {};
  ::stat((destination / "Contents/version").c_str(), &after);
  EXPECT_EQ(after.st_ino, original.st_ino) << "never removed and copied back";
  EXPECT_EQ(treeOf(destination), before);
  EXPECT_EQ(ran(), (std::vector<std::string>{stop, backup, reopen + " (1.0.0)", "sleep 8"}));

  prepare();
  writeFile(staged / "Contents/fail-copy", "");  // the new copy fails once under way
  install("0");
  EXPECT_EQ(treeOf(destination), before);
  EXPECT_EQ(ran(), (std::vector<std::string>{stop, backup, copy, restore, reopen + " (1.0.0)", "sleep 8"}));
}

// From the verified download to the replaced bundle, whose own tools are gone by then.
TEST_F(RealRunner, AnUpdateIsStagedWithTheRunningBundlesToolsAndInstalledWithTheStagedOnes) {
  const fs::path destination = folder.path() / "My Apps/Tarnwick.app";
  const fs::path published = folder.path() / "published/Tarnwick.app";
  makeBundle(destination, "1.0.0");
  makeBundle(published, "1.0.1");
  // The image "attaches" as a copy of the published bundle; the checks pass.
  writeScript(tools / "hdiutil", "case $1 in attach) exec /bin/cp -a '" + published.string() +
                                     "' \"$6/Tarnwick.app\";; detach) exec /bin/rm -rf \"$2\";; esac\nexit 1");
  writeScript(tools / "pass", "exit 0");
  writeScript(tools / "sleep", "exec /bin/sleep 0.001");  // this very process never exits
  located = {{"/usr/bin/hdiutil", tools / "hdiutil"}, {"/usr/bin/codesign", tools / "pass"},
             {"/usr/sbin/spctl", tools / "pass"},     {"/usr/bin/xattr", tools / "pass"},
             {"/bin/sleep", tools / "sleep"}};
  for (const char* tool : {"/usr/bin/ditto", "/usr/bin/open", "/bin/launchctl"}) {
    located[tool] = destination / "Contents/Helpers" / fs::path(tool).filename();
  }
  fakes.userFolders.temporaryFolder = folder.path() / "tmp";
  fs::create_directories(fakes.userFolders.temporaryFolder);
  delegate->applicationDidFinishLaunching();
  const fs::path image = folder.path() / "download";
  writeFile(image, "the image");
  update::TarnwickRelease release{.version = "1.0.1", .build = 2,
                                  .downloadURL = "https://tarnwick.com/support/mac/download",
                                  .sha256 = *update::sha256(image)};
  delegate->installUpdate(release, release.downloadURL, destination);
  fakes.http.respond(fakes.http.count() - 1, fakes::FakeHttpClient::status(200), image);
  fakes.mainQueue.advance(platform::Seconds(1));
  ASSERT_TRUE(fakes.application.window->sheets.empty()) << fakes.application.window->sheets[0].alert.informativeText;
  EXPECT_EQ(fakes.application.events.back(), "terminate");
  ASSERT_TRUE(waitUntil([&] { return fs::is_empty(fakes.userFolders.temporaryFolder); }, 60s)) << log();
  EXPECT_EQ(readFile(destination / "Contents/version"), "1.0.1");
  auto lines = linesOf(log());
  ASSERT_EQ(lines.size(), 5u) << log();
  EXPECT_TRUE(lines[0].starts_with("ditto of 1.0.0: ")) << lines[0];
  const std::string uid = std::to_string(::getuid());
  const std::string work = fakes.userFolders.temporaryFolder.string() + "/TarnwickUpdate-";
  const std::vector<std::string> script = {
      "launchctl of 1.0.1: bootout gui/" + uid + "/com.tarnwick.desktop",
      "ditto of 1.0.1: " + destination.string() + " " + work, "ditto of 1.0.1: " + work,
      "open of 1.0.1: -n " + destination.string() + " (1.0.1)"};
  for (std::size_t index = 0; index < script.size(); ++index) {
    EXPECT_TRUE(lines[index + 1].starts_with(script[index])) << lines[index + 1];
  }
}

}  // namespace
}  // namespace tarnwick::integration
