// The command runner with real processes, and the installer script run by /bin/sh.
#include <fcntl.h>
#include <signal.h>

#include <numeric>

#include "Integration.h"
#include "connector/PosixCommandRunner.h"
#include "update/InstallerScript.h"

namespace tarnwick::integration {

using Arguments = std::vector<std::string>;
Arguments sh(const std::string& script, Arguments arguments = {}) {
  arguments.insert(arguments.begin(), {"-c", script, "sh"});
  return arguments;
}
// Writes "<pid> <session> <parent>" to $1, waits $2 seconds, then makes $1.done.
const std::string linger =
    "echo $$ $(cut -d' ' -f6 /proc/$$/stat) $PPID > \"$1.tmp\" && mv \"$1.tmp\" \"$1\" && sleep $2 "
    "&& touch \"$1.done\"";

TEST(CommandRunner, RunsToolsByTheirPathsWithLiteralArgumentsAndNothingInheritedThenLetsThemGo) {
  TemporaryFolder folder;
  auto at = [&](const char* name) { return (folder.path() / name).string(); };
  connector::PosixCommandRunner runner, mapped([&](const std::string&path) {
    return path == "/usr/sbin/tarnwick-tool" ? at("tool") : path;
  });
  fs::create_directory(at("folder"));
  writeScript(at("tool"), "touch \"$1\"; echo found");
  writeScript(at("unexecutable"), "exit 0");
  fs::permissions(at("unexecutable"), fs::perms::owner_read);
  writeFile(at("bare"), "exit 0\n");  // no interpreter line: never handed to a shell
  fs::permissions(at("bare"), fs::perms::owner_all);
  // run: true only when the tool started and exited 0; capture: standard output, if valid UTF-8.
  const std::tuple<std::string, Arguments, bool, std::string> cases[] = {
      {at("missing"), {}, false, ""},
      {at("folder"), {}, false, ""},
      {at("unexecutable"), {}, false, ""},
      {at("bare"), {}, false, ""},
      {"true", {}, false, ""},  // no search of the command path
      {"/bin/sh", sh("printf 'a\\n\\n b \\n'; exit 3"), false, "a\n\n b \n"},
      {"/bin/sh", sh("printf before; kill -KILL $$"), false, "before"},
      {"/bin/sh", sh("echo complaint >&2"), true, ""},
      {"/bin/sh", sh("printf '\\342\\202\\254'"), true, "\u20ac"},
      {"/bin/sh", sh("printf 'ok\\377'"), true, ""},
      {"/usr/bin/head", {"-c", "3145745", "/dev/zero"}, true, std::string(3145745, '\0')}};
  for (const auto& [path, arguments, ran, captured] : cases) {
    EXPECT_EQ(runner.run(path, arguments), ran) << path << " " << arguments.size();
    EXPECT_TRUE(runner.capture(path, arguments) == captured) << path << " " << arguments.size();
  }
  // Every argument reaches the tool as it is, with nothing to split, expand or drop.
  const Arguments literal = {
      "two words", "$(touch " + at("ran") + ")", "a;b|c *", "'\"`id`", "line\nbreak", "",
      "-n",        "$HOME ~ back\\slash"};
  auto expected = std::accumulate(literal.begin(), literal.end(), std::string(),
                                  [](auto all, auto& one) { return all + one + '\0'; });
  EXPECT_EQ(runner.capture("/bin/sh", sh("printf '%s\\0' \"$@\"", literal)), expected);
  EXPECT_FALSE(fs::exists(at("ran")));

  // The locator decides where a canonical path points, for every way of running.
  EXPECT_FALSE(runner.run("/usr/sbin/tarnwick-tool", {at("plain")}));
  EXPECT_TRUE(mapped.run("/usr/sbin/tarnwick-tool", {at("ran")}));
  EXPECT_EQ(mapped.capture("/usr/sbin/tarnwick-tool", {at("captured")}), "found\n");
  mapped.launchWatched("/usr/sbin/tarnwick-tool", {at("watched")});
  EXPECT_TRUE(mapped.launch("/usr/sbin/tarnwick-tool", {at("launched")}));
  EXPECT_TRUE(
      waitUntil([&] { return fs::exists(at("watched")) && fs::exists(at("launched")); }, 10s));
  EXPECT_TRUE(fs::exists(at("ran")) && fs::exists(at("captured")) && !fs::exists(at("plain")));

  // No descriptor, blocked signal or ignored SIGPIPE of this process reaches a tool.
  int leaked = ::open("/dev/null", O_RDONLY);  // without close-on-exec
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
  auto descriptors = runner.capture("/bin/ls", {"/proc/self/fd"});  // 3: the listing's own
  auto signals = runner.capture("/bin/grep", {"^Sig[BI]", "/proc/self/status"});
  ::signal(SIGPIPE, previousPipe);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::close(leaked);
  EXPECT_EQ(descriptors, "0\n1\n2\n3\n");
  EXPECT_TRUE(signals.starts_with("SigBlk:\t0000000000000000\nSigIgn:\t")) << signals;
  EXPECT_EQ(std::stoull(signals.substr(signals.rfind('\t')), nullptr, 16) & (1u << (SIGPIPE - 1)),
            0u);

  // Launched: not waited for, in a session of its own, started from here and collected when done.
  auto record = folder.path() / "record";
  auto recorded = [&] {  // pid, session, parent
    std::istringstream in(readFile(record));
    return Arguments(std::istream_iterator<std::string>(in), {});
  };
  auto running = runner.launchWatched("/bin/sh", sh(linger, {record, "1.5"}));
  ASSERT_TRUE(waitUntil([&] { return fs::exists(record); }, 10s));
  EXPECT_FALSE(fs::exists(record.string() + ".done"));
  EXPECT_TRUE(running());
  auto pid = recorded().at(0);
  EXPECT_EQ(recorded(), (Arguments{pid, pid, std::to_string(::getpid())}));
  EXPECT_TRUE(waitUntil([&] { return !running(); }, 10s));
  EXPECT_FALSE(fs::exists("/proc/" + pid)) << "no zombie left";
  EXPECT_FALSE(runner.launchWatched(at("missing"), {})());
  EXPECT_FALSE(runner.launch(at("missing"), {}));
  EXPECT_TRUE(runner.launch("/bin/sh", sh("exit 3")));  // started; its status is not its concern
  // From a starter that exits at once: the tool outlives it; `launch` keeps the starter's streams.
  for (std::string how : {"watched", "plain"}) {
    fs::remove(record.string() + ".done");
    EXPECT_EQ(Process(TARNWICK_PROBE, {"launch", how, "/bin/sh", "-c", linger, "sh", record, "1"})
                  .wait(10s),
              0);
    EXPECT_FALSE(fs::exists(record.string() + ".done")) << how;
    EXPECT_TRUE(waitUntil([&] { return fs::exists(record.string() + ".done"); }, 10s)) << how;
    EXPECT_EQ(recorded().at(0), recorded().at(1));
  }
  Process starter(TARNWICK_PROBE, {"launch", "plain", "/bin/ls", "/proc/self/fd"},
                  {.stdoutFile = at("output")});
  EXPECT_TRUE(waitUntil([&] { return readFile(at("output")) == "0\n1\n2\n3\n"; }, 10s));
}

class Installer : public testing::Test {
 protected:
  Arguments log() const { return linesOf(readFile(logFile)); }
  // A bundle whose tools log "<tool> of <version>: <arguments>"; copying "fail-copy" fails.
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
  fs::path destination = folder.path() / "My Apps/Tarnwick.app";
};

// Its pauses shortened and logged.
TEST_F(Installer, TheInstallerReplacesTheBundleOnceTheAppHasGoneOrPutsTheOldOneBack) {
  const fs::path work =
      folder.path() / "tmp dir/TarnwickUpdate-1D4C3B2A-0000-4000-8000-000000000001";
  const fs::path staged = work / "Tarnwick.app", script = work / "install.sh";
  const std::string dest = destination.string(), previous = work.string() + "/previous.app",
                    ditto = "ditto of 1.0.1: ", backup = ditto + dest + " " + previous,
                    copy = ditto + staged.string() + " " + dest,
                    restore = ditto + previous + " " + dest, opened = "open of 1.0.1: -n " + dest,
                    newer = opened + " (1.0.1)", older = opened + " (1.0.0)", pause = "sleep 8",
                    fails = "Tarnwick.app/Contents/fail-copy",
                    stop = "launchctl of 1.0.1: bootout gui/" + std::to_string(::getuid()) +
                           "/com.tarnwick.desktop";
  // The app's life, a file placed in the work folder, the status, whether all two hundred polls
  // ran, the version left at DEST, what ran after the polls (the last: the work folder's pause).
  const std::tuple<std::string, std::string, int, bool, std::string, Arguments> cases[] = {
      {"0.4", "", 0, false, "1.0.1", {stop, backup, copy, newer, pause}},
      {"120", "", 0, true, "1.0.1", {stop, backup, copy, newer, pause}},
      {"0", "previous.app", 1, false, "1.0.0", {stop, backup, older, pause}},
      {"0", fails, 0, false, "1.0.0", {stop, backup, copy, restore, older, pause}}};
  for (const auto& [seconds, inTheWay, status, polledOut, installed, ran] : cases) {
    SCOPED_TRACE(ran.size());
    fs::remove_all(destination);
    fs::remove(logFile);
    makeBundle(destination, "1.0.0");
    makeBundle(staged, "1.0.1", 5);
    auto expected = treeOf(installed == "1.0.1" ? staged : destination);
    writeScript(tools / "sleep", "echo \"sleep $1\" >> " + logFile.string() +
                                     "\ncase $1 in 0.1) exec /bin/sleep 0.005;; esac");
    auto helper = [&](const char* tool) { return (staged / "Contents/Helpers" / tool).string(); };
    writeFile(script, update::installerScript({.sleep = (tools / "sleep").string(),
                                               .launchctl = helper("launchctl"),
                                               .ditto = helper("ditto"),
                                               .open = helper("open")}));
    if (!inTheWay.empty()) {
      writeFile(work / inTheWay, "");
    }
    Process app("/bin/sleep", {seconds});
    Process installer("/bin/sh", {script, std::to_string(app.pid()), staged, destination, work});
    // Reaped as soon as it ends: a zombie still answers `kill -0`.
    ASSERT_TRUE(waitUntil([&] { return !(app.running(), installer.running()); }, 60s));
    EXPECT_EQ(installer.wait(0s), status);
    auto lines = log();
    auto polls = std::ranges::count(lines, "sleep 0.1");
    // An app already gone may leave nothing to poll; one still running is polled till it goes.
    EXPECT_TRUE(polledOut ? polls == 200 : polls < 200 && (polls > 0 || seconds == "0")) << polls;
    EXPECT_EQ(Arguments(lines.begin() + polls, lines.end()), ran);
    EXPECT_EQ(treeOf(destination), expected);
    EXPECT_FALSE(fs::exists(work)) << "removed at the end";
  }
}

}  // namespace tarnwick::integration
