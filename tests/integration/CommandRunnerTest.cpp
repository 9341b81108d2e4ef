// The command runner with real processes: what a tool receives, what comes back, how it lives on.
#include <fcntl.h>
#include <signal.h>

#include <iterator>
#include <sstream>

#include "Integration.h"
#include "connector/PosixCommandRunner.h"

namespace tarnwick::integration {
namespace {

using connector::PosixCommandRunner;
const std::string sh = "/bin/sh";

std::vector<std::string> script(const std::string& text, std::vector<std::string> arguments = {}) {
  arguments.insert(arguments.begin(), {"-c", text, "sh"});
  return arguments;
}
// Records "<pid> <session> <parent>" in $1, waits $2 seconds, then makes $1.done.
const std::string linger =
    "echo $$ $(cut -d' ' -f6 /proc/$$/stat) $PPID > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; sleep $2; "
    "touch \"$1.done\"";
std::vector<long> recordIn(const fs::path& file) {
  std::istringstream in(readFile(file));
  return {std::istream_iterator<long>(in), {}};
}

class CommandRunner : public testing::Test {
 protected:
  fs::path at(const std::string& name) const { return folder.path() / name; }
  TemporaryFolder folder;
  PosixCommandRunner runner;
};

TEST_F(CommandRunner, RunIsTrueOnlyWhenTheToolStartedAndExitedZero) {
  fs::create_directory(at("folder"));
  writeScript(at("script"), "exit 0");
  writeScript(at("unexecutable"), "exit 0");
  fs::permissions(at("unexecutable"), fs::perms::owner_read);
  writeFile(at("bare"), "exit 0\n");  // no interpreter line: never handed to a shell
  fs::permissions(at("bare"), fs::perms::owner_all);
  struct Case {
    std::string path;
    std::vector<std::string> arguments;
    bool expected;
  } cases[] = {
      {at("missing"), {}, false}, {at("folder"), {}, false}, {at("unexecutable"), {}, false},
      {at("bare"), {}, false},    {"true", {}, false},  // no search of the command path
      {at("script"), {}, true},   {sh, script("exit 1"), false},
      {sh, script("head -c 100000 /dev/zero; echo complaint >&2"), true},
      {sh, script("kill -TERM $$"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runner.run(c.path, c.arguments), c.expected) << c.path << " " << c.arguments.size();
  }
}

TEST_F(CommandRunner, CaptureGivesStandardOutputWhenItIsValidUTF8) {
  struct Case {
    std::string command, expected;
  } cases[] = {
      {"printf 'first\\n\\n last \\n'; exit 3", "first\n\n last \n"},  // status not consulted
      {"printf before; kill -KILL $$", "before"},
      {"echo complaint >&2", ""},
      {"printf '\\342\\202\\254'", "\u20ac"},
      {"printf 'ok\\377'", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runner.capture(sh, script(c.command)), c.expected) << c.command;
  }
  EXPECT_EQ(runner.capture(at("missing"), {}), "");
  // Far more than a pipe holds comes back whole.
  EXPECT_EQ(runner.capture("/usr/bin/head", {"-c", "3145745", "/dev/zero"}),
            std::string(3145745, '\0'));
}

TEST_F(CommandRunner, ArgumentsArriveLiterallyOneEach) {
  const std::vector<std::string> arguments = {
      "two words", "$(touch " + at("ran").string() + ")", "a;b|c", "*", "'\"`id`", "line\nbreak",
      "",          "-n",                                   "$HOME", "~", "back\\slash"};
  std::string expected;
  for (const auto& argument : arguments) {
    expected += argument + '\0';
  }
  auto all = script("printf '%s\\0' \"$@\"", arguments);
  EXPECT_EQ(runner.capture(sh, all), expected);
  EXPECT_TRUE(runner.run(sh, all));
  EXPECT_FALSE(fs::exists(at("ran")));
}

TEST_F(CommandRunner, TheToolLocatorDecidesWhereACanonicalPathPoints) {
  writeScript(at("tool"), "touch \"$1\"; echo found");
  PosixCommandRunner mapped([&](const std::string& path) {
    return path == "/usr/sbin/tarnwick-tool" ? at("tool").string() : path;
  });
  EXPECT_FALSE(runner.run("/usr/sbin/tarnwick-tool", {at("plain")}));
  EXPECT_EQ(mapped.toolLocation("/usr/sbin/tarnwick-tool"), at("tool"));
  EXPECT_EQ(runner.toolLocation("/usr/bin/ditto"), "/usr/bin/ditto");
  EXPECT_TRUE(mapped.run("/usr/sbin/tarnwick-tool", {at("ran")}));
  EXPECT_EQ(mapped.capture("/usr/sbin/tarnwick-tool", {at("captured")}), "found\n");
  mapped.launchWatched("/usr/sbin/tarnwick-tool", {at("watched")});
  EXPECT_TRUE(mapped.launch("/usr/sbin/tarnwick-tool", {at("launched")}));
  EXPECT_TRUE(waitUntil([&] { return fs::exists(at("watched")) && fs::exists(at("launched")); }, 10s));
  EXPECT_TRUE(fs::exists(at("ran")) && fs::exists(at("captured")) && !fs::exists(at("plain")));
}

TEST_F(CommandRunner, ToolsInheritNoDescriptorsAndNoSignalSettings) {
  int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
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
  EXPECT_EQ(std::stoull(signals.substr(signals.rfind('\t')), nullptr, 16) & (1u << (SIGPIPE - 1)), 0u);
}

TEST_F(CommandRunner, ALaunchedToolRunsOnInASessionOfItsOwnAndIsCollected) {
  auto record = at("record");
  auto running = runner.launchWatched(sh, script(linger, {record, "1.5"}));
  EXPECT_FALSE(fs::exists(record.string() + ".done"));  // not waited for
  ASSERT_TRUE(waitUntil([&] { return fs::exists(record); }, 10s));
  EXPECT_TRUE(running());
  auto lingering = recordIn(record);
  ASSERT_EQ(lingering.size(), 3u);
  EXPECT_EQ(lingering[1], lingering[0]);
  EXPECT_EQ(lingering[2], ::getpid());  // started straight from here
  EXPECT_TRUE(waitUntil([&] { return !running(); }, 10s));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(lingering[0]))) << "no zombie left";
  EXPECT_FALSE(runner.launchWatched(at("missing"), {})());
  EXPECT_FALSE(runner.launch(at("missing"), {}));
  EXPECT_TRUE(runner.launch(sh, script("exit 3")));  // started; its status is not its concern

  // From a starter that exits at once: the tool outlives it; `launch` keeps its streams.
  for (std::string how : {"watched", "plain"}) {
    std::vector<std::string> arguments = {"launch", how, sh, "-c", linger, "sh", record, "1"};
    fs::remove(record.string() + ".done");
    Process starter(TARNWICK_PROBE, arguments);
    EXPECT_EQ(starter.wait(10s), 0) << how;
    EXPECT_FALSE(fs::exists(record.string() + ".done")) << how;
    EXPECT_TRUE(waitUntil([&] { return fs::exists(record.string() + ".done"); }, 10s)) << how;
    EXPECT_EQ(recordIn(record)[1], recordIn(record)[0]) << how;
  }
  Process starter(TARNWICK_PROBE, {"launch", "plain", "/bin/ls", "/proc/self/fd"},
                  {.stdoutFile = at("output")});
  EXPECT_TRUE(waitUntil([&] { return readFile(at("output")) == "0\n1\n2\n3\n"; }, 10s))
      << readFile(at("output"));
}

}  // namespace
}  // namespace tarnwick::integration
