// The command runner with real processes: what a tool receives, what comes back, how it lives on.
#include <fcntl.h>
#include <signal.h>

#include "Integration.h"
#include "connector/PosixCommandRunner.h"

namespace tarnwick::integration {
namespace {

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
  const Arguments literal = {"two words",  "$(touch " + at("ran") + ")",
                             "a;b|c",      "*",
                             "'\"`id`",    "line\nbreak",
                             "",           "-n",
                             "$HOME",      "~",
                             "back\\slash"};
  std::string expected;
  for (const auto& argument : literal) {
    expected += argument + '\0';
  }
  EXPECT_EQ(runner.capture("/bin/sh", sh("printf '%s\\0' \"$@\"", literal)), expected);
  EXPECT_FALSE(fs::exists(at("ran")));

  // The locator decides where a canonical path points, for every way of running.
  EXPECT_FALSE(runner.run("/usr/sbin/tarnwick-tool", {at("plain")}));
  EXPECT_EQ(mapped.toolLocation("/usr/sbin/tarnwick-tool"), at("tool"));
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
  auto recorded = [&] { return linesOf(readFile(record)).at(0); };
  auto running = runner.launchWatched("/bin/sh", sh(linger, {record, "1.5"}));
  ASSERT_TRUE(waitUntil([&] { return fs::exists(record); }, 10s));
  EXPECT_FALSE(fs::exists(record.string() + ".done"));
  EXPECT_TRUE(running());
  auto pid = recorded().substr(0, recorded().find(' '));
  EXPECT_EQ(recorded(), pid + " " + pid + " " + std::to_string(::getpid()));
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
    EXPECT_EQ(recorded().substr(0, recorded().find(' ')),
              recorded().substr(recorded().find(' ') + 1,
                                recorded().rfind(' ') - recorded().find(' ') - 1));
  }
  Process starter(TARNWICK_PROBE, {"launch", "plain", "/bin/ls", "/proc/self/fd"},
                  {.stdoutFile = at("output")});
  EXPECT_TRUE(waitUntil([&] { return readFile(at("output")) == "0\n1\n2\n3\n"; }, 10s));
}

}  // namespace
}  // namespace tarnwick::integration
