#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "Files.h"
#include "Processes.h"
#include "connector/PosixCommandRunner.h"

namespace tarnwick::integration {

using namespace testsupport;
namespace {

namespace fs = std::filesystem;
using connector::PosixCommandRunner;
using namespace std::string_literals;

const std::string tool = TARNWICK_TOOL_PROBE;

// The probe's "flood" text, rebuilt here to compare against.
std::string floodText(std::size_t bytes) {
  std::string text;
  for (std::size_t line = 0; text.size() < bytes; ++line) {
    text += "line " + std::to_string(line) + " of the flood\n";
  }
  text.resize(bytes);
  return text;
}

// Runs `work` on a thread of its own; nothing when it has not finished within `limit`.
template <class Work>
std::optional<std::invoke_result_t<Work>> within(Clock::duration limit, Work work) {
  auto task = std::make_shared<std::packaged_task<std::invoke_result_t<Work>()>>(std::move(work));
  auto result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  if (result.wait_for(limit) != std::future_status::ready) {
    return std::nullopt;
  }
  return result.get();
}

// What a "linger" probe wrote about itself: pid, session, parent.
struct Record {
  pid_t pid = 0, session = 0, parent = 0;
};
Record recordIn(const fs::path& file) {
  Record record;
  std::istringstream(readFile(file)) >> record.pid >> record.session >> record.parent;
  return record;
}

void makeFile(const fs::path& path, const std::string& contents, fs::perms mode) {
  writeFile(path, contents);
  fs::permissions(path, mode);
}

class CommandRunner : public testing::Test {
 protected:
  fs::path at(const std::string& name) const { return folder.path() / name; }

  TemporaryFolder folder;
  PosixCommandRunner runner;
};

TEST_F(CommandRunner, RunIsTrueOnlyWhenTheToolStartedAndExitedZero) {
  fs::create_directory(at("a-folder"));
  makeFile(at("not-executable"), "#!/bin/sh\nexit 0\n",
           fs::perms::owner_read | fs::perms::owner_write);
  makeFile(at("script"), "#!/bin/sh\nexit 0\n", fs::perms::owner_all);
  makeFile(at("no-interpreter-line"), "exit 0\n", fs::perms::owner_all);
  struct Case {
    std::string what;
    std::string path;
    std::vector<std::string> arguments;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"missing", at("missing"), {}, false},
      {"a folder", at("a-folder"), {}, false},
      {"not executable", at("not-executable"), {}, false},
      {"a script", at("script"), {}, true},
      {"no interpreter line: never handed to a shell", at("no-interpreter-line"), {}, false},
      {"relative name: no search of the command path", "true", {}, false},
      {"exit 1", tool, {"print", "it said something\n", "1"}, false},
      {"exit 255", tool, {"print", "", "255"}, false},
      {"exit 0 after printing", tool, {"print", std::string(100000, 'x'), "0"}, true},
      {"exit 0 silently", tool, {"print", "", "0"}, true},
      {"exit 0 writing to standard error", tool, {"stderr", "a complaint"}, true},
      {"killed", tool, {"die", "", std::to_string(SIGKILL)}, false},
      {"terminated", tool, {"die", "", std::to_string(SIGTERM)}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runner.run(c.path, c.arguments), c.expected) << c.what;
  }
}

TEST_F(CommandRunner, CaptureGivesStandardOutputAsValidUTF8OrNothing) {
  fs::create_directory(at("a-folder"));
  struct Case {
    std::string what;
    std::string path;
    std::vector<std::string> arguments;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"line feeds intact",
       tool,
       {"print", "first\nsecond\n\n last \n", "0"},
       "first\nsecond\n\n last \n"},
      {"exit status not consulted", tool, {"print", "partial\n", "3"}, "partial\n"},
      {"output before a signal", tool, {"die", "before\n", std::to_string(SIGKILL)}, "before\n"},
      {"standard error only", tool, {"stderr", "a complaint"}, ""},
      {"multibyte text", tool, {"hex", "e282ac0a"}, "\u20ac\n"},
      {"invalid UTF-8", tool, {"hex", "6f6bff0a"}, ""},
      {"overlong form", tool, {"hex", "c0af"}, ""},
      {"cut off in a character", tool, {"hex", "6f6be282"}, ""},
      {"missing", at("missing"), {}, ""},
      {"a folder", at("a-folder"), {}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runner.capture(c.path, c.arguments), c.expected) << c.what;
  }
}

TEST_F(CommandRunner, CaptureReturnsOutputFarLargerThanAPipeWholeWithoutHanging) {
  constexpr std::size_t size = 3 * 1024 * 1024 + 17;
  auto output = within(30s, [runner = runner]() mutable {
    return runner.capture(tool, {"flood", std::to_string(size)});
  });
  ASSERT_TRUE(output) << "capture did not return";
  EXPECT_EQ(output->size(), size);
  EXPECT_TRUE(*output == floodText(size));
}

TEST_F(CommandRunner, ArgumentsArriveLiterallyOneEach) {
  auto marker = at("shell-ran");
  const std::vector<std::string> arguments = {"two words",
                                              "$(touch " + marker.string() + ")",
                                              "a;b",
                                              "|",
                                              "*",
                                              "'",
                                              "\"",
                                              "`id`",
                                              "line\nbreak",
                                              "",
                                              "  padded  ",
                                              "-n",
                                              "--",
                                              "$HOME",
                                              "~",
                                              "back\\slash",
                                              "\u00fcn\u00efc\u00f6de"};
  std::vector<std::string> withMode = {"args"};
  withMode.insert(withMode.end(), arguments.begin(), arguments.end());
  std::string expected;
  for (const auto& argument : arguments) {
    expected += argument + '\0';
  }
  EXPECT_EQ(runner.capture(tool, withMode), expected);
  EXPECT_TRUE(runner.run(tool, withMode));
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(CommandRunner, TheToolLocatorDecidesWhereACanonicalPathPointsTo) {
  PosixCommandRunner mapped(
      [](const std::string& path) { return path == "/usr/sbin/tarnwick-probe" ? tool : path; });
  EXPECT_FALSE(runner.run("/usr/sbin/tarnwick-probe", {"print", "", "0"}));
  EXPECT_TRUE(mapped.run("/usr/sbin/tarnwick-probe", {"print", "", "0"}));
  EXPECT_EQ(mapped.capture("/usr/sbin/tarnwick-probe", {"print", "found", "0"}), "found");
  EXPECT_FALSE(mapped.run(at("unmapped").string(), {}));
  auto record = at("record");
  mapped.launchWatched("/usr/sbin/tarnwick-probe", {"linger", "0", record.string()});
  EXPECT_TRUE(waitUntil([&] { return fs::exists(record); }, 10s));
}

TEST_F(CommandRunner, ToolsInheritNoDescriptorsAndNoSignalSettings) {
  int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(leaked, 3);
  std::istringstream list(runner.capture(tool, {"descriptors"}));
  ::close(leaked);
  std::set<int> descriptors;
  for (int fd; list >> fd;) {
    descriptors.insert(fd);
  }
  EXPECT_EQ(descriptors, (std::set<int>{0, 1, 2}));

  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
  auto signals = runner.capture(tool, {"signals"});
  ::signal(SIGPIPE, previousPipe);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_EQ(signals, "none-blocked sigpipe-default");
}

TEST_F(CommandRunner, LaunchDetachedReturnsAtOnceAndTheToolRunsOnInASessionOfItsOwn) {
  auto record = at("record");
  auto done = at("record.done");
  auto running = runner.launchWatched(tool, {"linger", "1500", record.string()});
  EXPECT_FALSE(fs::exists(done));  // not waited for
  ASSERT_TRUE(waitUntil([&] { return fs::exists(record); }, 10s));
  EXPECT_TRUE(running());
  auto lingering = recordIn(record);
  ASSERT_GT(lingering.pid, 0);
  EXPECT_EQ(lingering.session, lingering.pid);
  EXPECT_NE(lingering.session, ::getsid(0));
  EXPECT_EQ(lingering.parent, ::getpid());  // started straight from here, no intermediate process
  ASSERT_TRUE(waitUntil([&] { return fs::exists(done); }, 10s));
  // Collected once it ended: no zombie left behind.
  auto entry = fs::path("/proc") / std::to_string(lingering.pid);
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(entry); }, 10s)) << readFile(entry / "stat");
  EXPECT_TRUE(waitUntil([&] { return !running(); }, 10s));
  EXPECT_FALSE(runner.launchWatched(at("missing").string(), {})());
}

TEST_F(CommandRunner, ADetachedToolOutlivesTheProcessThatStartedIt) {
  auto record = at("record");
  auto done = at("record.done");
  Process starter(tool, {"detach", tool, "linger", "1000", record.string()}, {});
  EXPECT_EQ(starter.wait(10s), 0);
  EXPECT_FALSE(fs::exists(done));
  EXPECT_TRUE(waitUntil([&] { return fs::exists(done); }, 10s));
  EXPECT_EQ(recordIn(record).session, recordIn(record).pid);
}

TEST_F(CommandRunner, LaunchKeepsTheStreamsOutlivesItsStarterAndSaysWhetherItStarted) {
  EXPECT_FALSE(runner.launch(at("missing").string(), {}));
  EXPECT_TRUE(runner.launch(tool, {"print", "", "3"}));  // started; its status is not its concern

  // The launched tool writes into its starter's own output and holds nothing else open.
  auto output = at("output");
  Process starter(tool, {"launch", tool, "descriptors"}, {.stdoutFile = output});
  EXPECT_EQ(starter.wait(10s), 0);
  EXPECT_TRUE(waitUntil([&] { return readFile(output) == "0 1 2"; }, 10s)) << readFile(output);

  auto record = at("record");
  auto done = at("record.done");
  Process lingerer(tool, {"launch", tool, "linger", "1000", record.string()}, {});
  EXPECT_EQ(lingerer.wait(10s), 0);
  EXPECT_FALSE(fs::exists(done));
  EXPECT_TRUE(waitUntil([&] { return fs::exists(done); }, 10s));
  EXPECT_EQ(recordIn(record).session, recordIn(record).pid);

  PosixCommandRunner mapped([](const std::string& path) { return path + ".moved"; });
  EXPECT_EQ(mapped.toolLocation("/usr/bin/ditto"), "/usr/bin/ditto.moved");
  EXPECT_EQ(runner.toolLocation("/usr/bin/ditto"), "/usr/bin/ditto");
}

}  // namespace
}  // namespace tarnwick::integration
