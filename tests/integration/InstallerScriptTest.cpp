// The installer script as it runs: real /bin/sh, real files, the copy tool standing in as
// `cp -a`, and the reopen, the Connector stop and the pauses as recording stand-ins.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "Files.h"
#include "Processes.h"
#include "update/InstallerScript.h"

namespace tarnwick::integration {
namespace {

namespace fs = std::filesystem;
using namespace testsupport;

void makeBundle(const fs::path& bundle, const std::string& version, std::size_t payloadFiles,
                std::size_t payloadBytes) {
  fs::create_directories(bundle / "Contents" / "MacOS");
  writeFile(bundle / "Contents" / "version", version);
  writeFile(bundle / "Contents" / "MacOS" / "Tarnwick", "#!/bin/sh\necho " + version + "\n");
  fs::permissions(bundle / "Contents" / "MacOS" / "Tarnwick", fs::perms::owner_all);
  fs::create_symlink("MacOS/Tarnwick", bundle / "Contents" / "link");
  for (std::size_t index = 0; index < payloadFiles; ++index) {
    writeFile(bundle / "Contents" / ("payload-" + std::to_string(index)),
              std::string(payloadBytes, static_cast<char>('a' + index % 26)));
  }
}

void makeTool(const fs::path& path, const std::string& body) {
  writeFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
}

class InstallerScript : public testing::Test {
 protected:
  InstallerScript() {
    tools = folder.path() / "tool box";
    fs::create_directories(tools);
    // Stand-ins that log what they did, as the script would have them do it.
    makeTool(tools / "ditto",
             "/bin/kill -0 \"$WATCH_PID\" 2>/dev/null && echo \"copy while running\" >> \"$LOG\"\n"
             "echo \"copy $1 -> $2\" >> \"$LOG\"\n"
             "exec /bin/cp -a \"$1\" \"$2\"");
    makeTool(tools / "open",
             "echo \"open $1 $2 $(cat \"$2/Contents/version\")\" >> \"$LOG\"\n"
             "[ -d \"$WORK_CHECK\" ] && echo \"work present at open\" >> \"$LOG\"\n"
             "exit 0");
    makeTool(tools / "launchctl", "echo \"launchctl $*\" >> \"$LOG\"\nexit 3");
    // Pauses are logged and shortened, so the 200-poll bound is counted, not waited out.
    makeTool(tools / "sleep",
             "echo \"sleep $1\" >> \"$LOG\"\n"
             "case \"$1\" in 0.1) exec /bin/sleep 0.005;; *) exec /bin/sleep 0.05;; esac");

    apps = folder.path() / "My Apps";
    destination = apps / "Tarnwick.app";
    work = folder.path() / "tmp dir" / "TarnwickUpdate-1D4C3B2A-0000-4000-8000-000000000001";
    staged = work / "Tarnwick.app";
    makeBundle(destination, "1.0.0", 3, 1000);
    makeBundle(staged, "1.0.1", 5, 2000);
    script = work / "install.sh";
    writeFile(script, update::installerScript({.sleep = (tools / "sleep").string(),
                                               .launchctl = (tools / "launchctl").string(),
                                               .ditto = (tools / "ditto").string(),
                                               .open = (tools / "open").string()}));
    log = folder.path() / "log";
    writeFile(log, "");
  }

  Process::Options environment(int watched) const {
    return {.environment = {{"LOG", log.string()},
                            {"WORK_CHECK", work.string()},
                            {"WATCH_PID", std::to_string(watched)}}};
  }

  // Runs the script for the process `watched`, reaping that process as soon as it ends (a
  // zombie still answers the probe); the script's exit status.
  std::optional<int> install(Process& watched, const std::string& program = "/bin/sh",
                             std::vector<std::string> prefix = {}) {
    auto arguments = prefix;
    for (const auto& argument : {script.string(), std::to_string(watched.pid()), staged.string(),
                                 destination.string(), work.string()}) {
      arguments.push_back(argument);
    }
    Process installer(program, arguments, environment(watched.pid()));
    if (!waitUntil(
            [&] {
              watched.running();
              return !installer.running();
            },
            60s)) {
      return std::nullopt;
    }
    return installer.wait(0s);
  }

  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::istringstream stream(readFile(log));
    for (std::string line; std::getline(stream, line);) {
      lines.push_back(line);
    }
    return lines;
  }
  std::size_t polls() const {
    auto lines = logLines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), "sleep 0.1"));
  }
  bool logged(const std::string& line) const {
    auto lines = logLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  TemporaryFolder folder{"tarnwick-installer"};
  fs::path tools, apps, destination, work, staged, script, log;
};

TEST_F(InstallerScript, ReplacesABundleInAFolderWithSpacesOnceTheAppHasExitedThenReopens) {
  auto expected = treeOf(staged);
  Process app("/bin/sleep", {"0.4"});
  ASSERT_EQ(install(app), 0);

  EXPECT_EQ(treeOf(destination), expected);
  EXPECT_FALSE(logged("copy while running"));
  EXPECT_GT(polls(), 0U);
  EXPECT_LT(polls(), 200U) << "the wait ends as soon as the app has gone";
  EXPECT_TRUE(
      logged("launchctl bootout gui/" + std::to_string(::getuid()) + "/com.tarnwick.desktop"));
  EXPECT_TRUE(logged("open -n " + destination.string() + " 1.0.1"));
  EXPECT_TRUE(logged("work present at open"));
  EXPECT_FALSE(fs::exists(work)) << "removed after the reopen";
  auto lines = logLines();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines.back(), "sleep 8");
}

TEST_F(InstallerScript, AnAppThatNeverExitsIsWaitedForTwoHundredPollsThenReplaced) {
  Process app("/bin/sleep", {"120"});
  ASSERT_EQ(install(app), 0);
  EXPECT_EQ(polls(), 200U);
  EXPECT_TRUE(logged("open -n " + destination.string() + " 1.0.1"));
  EXPECT_FALSE(fs::exists(work));
}

TEST_F(InstallerScript, AFailedBackupLeavesTheInstalledBundleUntouchedAndReopensIt) {
  auto before = treeOf(destination);
  struct stat original {};
  ASSERT_EQ(::stat((destination / "Contents" / "version").c_str(), &original), 0);
  // A file where the backup folder would go: the backup copy fails.
  writeFile(work / "previous.app", "in the way");
  Process app("/bin/true", {});
  EXPECT_NE(install(app), 0);

  EXPECT_EQ(treeOf(destination), before);
  struct stat after {};
  ASSERT_EQ(::stat((destination / "Contents" / "version").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, original.st_ino) << "never removed and copied back";
  EXPECT_FALSE(logged("copy " + staged.string() + " -> " + destination.string()));
  EXPECT_TRUE(logged("open -n " + destination.string() + " 1.0.0"));
  EXPECT_FALSE(fs::exists(work));
}

TEST_F(InstallerScript, ANewCopyThatFailsHalfwayOnAFullDiskPutsTheOldBundleBackAndReopensIt) {
  // The installed bundle lives on a small file system of its own, in a private mount namespace:
  // the old bundle (five small files, a page each) fits, the new one (twelve 4 kB files against a
  // 40 kB limit) does not.
  fs::remove_all(staged);
  makeBundle(staged, "1.0.1", 12, 4096);
  auto seed = folder.path() / "seed" / "Tarnwick.app";
  fs::create_directories(seed.parent_path());
  fs::rename(destination, seed);
  auto expected = treeOf(seed);
  auto result = folder.path() / "result";
  if (runCommand("/usr/bin/unshare", {"-m", "/bin/true"}).status != 0) {
    GTEST_SKIP() << "no private mount namespace here (needs root)";
  }
  // Arguments: the script, then its own four (PID SRC DEST WORK).
  const std::string inNamespace =
      "mount -t tmpfs -o size=40k tmpfs \"$APPS\" || exit 90\n"
      "/bin/cp -a \"$SEED\" \"$4\" || exit 91\n"
      "/bin/sh \"$@\"\n"
      "status=$?\n"
      "/bin/cp -a \"$4\" \"$RESULT\"\n"
      "exit $status\n";
  auto runner = folder.path() / "in-namespace.sh";
  writeFile(runner, inNamespace);
  Process app("/bin/true", {});
  app.wait(5s);
  auto options = environment(app.pid());
  options.environment["APPS"] = apps.string();
  options.environment["SEED"] = seed.string();
  options.environment["RESULT"] = result.string();
  std::vector<std::string> arguments = {"-m", "/bin/sh", runner.string(), script.string()};
  for (const auto& argument :
       {std::to_string(app.pid()), staged.string(), destination.string(), work.string()}) {
    arguments.push_back(argument);
  }
  auto outcome = runCommand("/usr/bin/unshare", arguments, options);
  ASSERT_NE(outcome.status, 90);
  ASSERT_NE(outcome.status, 91);
  ASSERT_NE(outcome.status, -1);

  EXPECT_TRUE(logged("copy " + staged.string() + " -> " + destination.string()));
  EXPECT_TRUE(logged("copy " + (work / "previous.app").string() + " -> " + destination.string()))
      << "the restore ran\n"
      << readFile(log) << "status " << outcome.status;
  EXPECT_TRUE(logged("open -n " + destination.string() + " 1.0.0"));
  EXPECT_EQ(treeOf(result), expected);
  EXPECT_FALSE(fs::exists(work));
  EXPECT_TRUE(fs::is_empty(apps)) << "the small file system stayed private";
}

}  // namespace
}  // namespace tarnwick::integration
