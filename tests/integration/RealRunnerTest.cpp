// The core on the fakes, but with the real command runner and /bin/sh running stand-in tools: the
// stale-listener stop and the installer script.
#include "FakePlatform.h"
#include "Integration.h"
#include "connector/PosixCommandRunner.h"
#include "update/InstallerScript.h"

namespace tarnwick::integration {
namespace {

using Lines = std::vector<std::string>;

class RealRunner : public testing::Test {
 protected:
  Lines log() const { return linesOf(readFile(logFile)); }
  // A bundle whose tools, like the real one's, log each run as "<tool> of <version>: <arguments>";
  // its copy of a bundle holding "fail-copy" fails, once copied.
  void makeBundle(const fs::path& at, const std::string& version, int files = 2) {
    writeScript(at / "Contents/Helpers/launchctl",
                "echo \"launchctl of " + version + ": $*\" >> " + logFile.string());
    writeScript(at / "Contents/Helpers/ditto",
                "echo \"ditto of " + version + ": $*\" >> " + logFile.string() +
                    " && cp -a \"$1\" \"$2\" && [ ! -e \"$1/Contents/fail-copy\" ]");
    writeScript(at / "Contents/Helpers/open", "echo \"open of " + version +
                                                  ": $* ($(cat \"$2/Contents/version\"))\" >> " +
                                                  logFile.string());
    writeFile(at / "Contents/version", version);
    fs::create_symlink("version", at / "Contents/link");
    for (int index = 0; index < files; ++index) {
      writeFile(at / "Contents" / std::to_string(index), version + std::to_string(index));
    }
  }

  TemporaryFolder folder{"tarnwick-real-runner"};
  fs::path logFile = folder.path() / "log", tools = folder.path() / "tool;box";  // must be quoted
  std::map<std::string, fs::path> located;
  connector::PosixCommandRunner runner{[this](const std::string& path) {
    return located.contains(path) ? located[path].string() : path;
  }};
  fakes::FakePlatform fakes;
  platform::Platform ports{fakes.mainQueue,       fakes.sleeper,     fakes.http,
                           fakes.application,     fakes.workspace,   fakes.pasteboard,
                           fakes.preferences,     fakes.bundle,      fakes.loginItems,
                           fakes.deviceOwnerAuth, fakes.userFolders, runner};
  std::shared_ptr<app::TarnwickAppDelegate> delegate =
      std::make_shared<app::TarnwickAppDelegate>(ports);
  fs::path destination = folder.path() / "My Apps/Tarnwick.app";
};

TEST_F(RealRunner, TheStaleListenerStopSignalsOnlyTheListedIdsAboveOneThenPauses) {
  located = {{"/usr/sbin/lsof", tools / "lsof"}, {"/bin/kill", tools / "kill"}};
  writeScript(tools / "kill", "echo \"kill $*\" >> " + logFile.string());
  delegate->stopStaleConnectorListener();  // no lister: nothing stopped
  writeScript(tools / "lsof", "echo \"lsof $*\" >> " + logFile.string() + "; cat \"$0.output\"");
  writeFile(tools / "lsof.output",
            "\n  4242 \n\tabc\n1\n0\n-7\n 5150\t\n\n12 13\n31\n2147483648\n");
  delegate->stopStaleConnectorListener();
  const std::string lsof = "lsof -nP -tiTCP:8766 -sTCP:LISTEN -a -u " + std::to_string(::getuid());
  EXPECT_EQ(log(), (Lines{lsof, "kill -TERM 4242", "kill -TERM 5150", "kill -TERM 31"}));
  // A stale Connector's answer makes the start stop its listener and pause before going on.
  fs::remove(logFile);
  writeFile(tools / "lsof.output", "777\n");
  fakes.bundle.info["CFBundleShortVersionString"] = std::string("3.1.0");
  delegate->applicationDidFinishLaunching();
  fakes.http.respondNext(fakes::FakeHttpClient::status(200, {{"Server", "TarnwickDesktop/3.0.9"}}));
  fakes.mainQueue.runUntilIdle();
  EXPECT_EQ(log(), (Lines{lsof, "kill -TERM 777"}));
  EXPECT_EQ(fakes.sleeper.pauses, std::vector<double>{0.25});
  EXPECT_FALSE(delegate->replaceStaleConnector());
}

// The installer script by /bin/sh for a process that lives `seconds`, pauses shortened and
// logged: the backup and copy steps after the polls, the reopen, and what is left at DEST.
TEST_F(RealRunner, TheInstallerReplacesTheBundleOnceTheAppHasGoneOrPutsTheOldOneBack) {
  const fs::path work =
      folder.path() / "tmp dir/TarnwickUpdate-1D4C3B2A-0000-4000-8000-000000000001";
  const fs::path staged = work / "Tarnwick.app", script = work / "install.sh";
  const std::string stop = "launchctl of 1.0.1: bootout gui/" + std::to_string(::getuid()) +
                           "/com.tarnwick.desktop",
                    backup = "ditto of 1.0.1: " + destination.string() + " " + work.string() +
                             "/previous.app",
                    copy = "ditto of 1.0.1: " + staged.string() + " " + destination.string(),
                    restore = "ditto of 1.0.1: " + work.string() + "/previous.app " +
                              destination.string(),
                    reopen = "open of 1.0.1: -n " + destination.string();
  struct Case {
    const char* seconds;   // the app's life
    std::string inTheWay;  // a file placed in the work folder
    int status;
    bool polledOut;  // all two hundred polls
    const char* installed;
    Lines ran;
  } cases[] = {
      {"0.4", "", 0, false, "1.0.1", {stop, backup, copy, reopen + " (1.0.1)", "sleep 8"}},
      {"120", "", 0, true, "1.0.1", {stop, backup, copy, reopen + " (1.0.1)", "sleep 8"}},
      {"0", "previous.app", 1, false, "1.0.0", {stop, backup, reopen + " (1.0.0)", "sleep 8"}},
      {"0",
       "Tarnwick.app/Contents/fail-copy",
       0,
       false,
       "1.0.0",
       {stop, backup, copy, restore, reopen + " (1.0.0)", "sleep 8"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ran.size());
    fs::remove_all(destination);
    fs::remove(logFile);
    makeBundle(destination, "1.0.0");
    makeBundle(staged, "1.0.1", 5);
    auto expected = treeOf(c.installed == std::string("1.0.1") ? staged : destination);
    writeScript(tools / "sleep", "echo \"sleep $1\" >> " + logFile.string() +
                                     "\ncase $1 in 0.1) exec /bin/sleep 0.005;; esac");
    auto helper = [&](const char* tool) { return (staged / "Contents/Helpers" / tool).string(); };
    writeFile(script, update::installerScript({.sleep = (tools / "sleep").string(),
                                               .launchctl = helper("launchctl"),
                                               .ditto = helper("ditto"),
                                               .open = helper("open")}));
    if (!c.inTheWay.empty()) {
      writeFile(work / c.inTheWay, "");
    }
    Process app("/bin/sleep", {c.seconds});
    Process installer("/bin/sh", {script, std::to_string(app.pid()), staged, destination, work});
    // Reaped as soon as it ends: a zombie still answers `kill -0`.
    ASSERT_TRUE(waitUntil([&] { return !(app.running(), installer.running()); }, 60s));
    EXPECT_EQ(installer.wait(0s), c.status);
    auto lines = log();
    auto polls = std::ranges::count(lines, "sleep 0.1");
    EXPECT_TRUE(c.polledOut ? polls == 200 : polls > 0 && polls < 200) << polls;
    EXPECT_EQ(Lines(lines.begin() + polls, lines.end()), c.ran);
    EXPECT_EQ(treeOf(destination), expected);
    EXPECT_FALSE(fs::exists(work)) << "removed at the end";
  }
}

}  // namespace
}  // namespace tarnwick::integration
