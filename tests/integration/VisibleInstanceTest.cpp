#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "Files.h"
#include "Processes.h"
#include "app/TarnwickVisibleInstance.h"

namespace tarnwick::integration {

using namespace testsupport;
namespace {

namespace fs = std::filesystem;
using app::TarnwickVisibleInstance;
using namespace std::string_literals;

constexpr uid_t nobody = 65534;

unsigned modeBits(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return 0xFFFFFFFF;
  }
  return status.st_mode & 07777;
}

// The probe program started as the shell starts: holder of the lock, or refused.
class Probe {
 public:
  Probe(const fs::path& dataHome, const std::vector<std::string>& urls, fs::path output,
        std::optional<uid_t> user = std::nullopt)
      : output_(std::move(output)),
        process_(TARNWICK_INSTANCE_PROBE, arguments(dataHome, urls),
                 {.stdoutFile = output_, .user = user}) {}

  Process& process() { return process_; }
  std::vector<std::string> lines() const { return linesOf(readFile(output_)); }
  std::string output() const { return readFile(output_); }
  bool waitForLine(const std::string& line, Clock::duration timeout = 10s) const {
    return waitUntil(
        [&] {
          auto all = lines();
          return std::find(all.begin(), all.end(), line) != all.end();
        },
        timeout);
  }
  bool waitForLineCount(std::size_t count, Clock::duration timeout = 10s) const {
    return waitUntil([&] { return lines().size() >= count; }, timeout);
  }

 private:
  static std::vector<std::string> arguments(const fs::path& dataHome,
                                            const std::vector<std::string>& urls) {
    std::vector<std::string> all = {dataHome.string()};
    all.insert(all.end(), urls.begin(), urls.end());
    return all;
  }

  fs::path output_;
  Process process_;
};

// Collects what a holder in this process is asked to open.
class Recorder {
 public:
  TarnwickVisibleInstance::ActivationHandler handler() {
    return [this](std::vector<std::string> urls) {
      std::lock_guard guard(lock_);
      received_.push_back(std::move(urls));
    };
  }
  std::vector<std::vector<std::string>> received() {
    std::lock_guard guard(lock_);
    return received_;
  }

 private:
  std::mutex lock_;
  std::vector<std::vector<std::string>> received_;
};

sockaddr_un addressOf(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// Sends raw bytes as a client and gives whatever comes back before the holder closes.
std::string rawExchange(const fs::path& socketPath, const std::string& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto address = addressOf(socketPath);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "<no connection>";
  }
  timeval limit{.tv_sec = 10, .tv_usec = 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buffer[256];
  for (ssize_t count; (count = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return reply;
}

// From a child process running as `user`: connect, send `request`, wait for an answer.
// Exit status 10: could not connect; 11: closed without an answer; 12: answered.
int attemptAsUser(uid_t user, const fs::path& socketPath, const std::string& request) {
  auto address = addressOf(socketPath);
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls: the test process has threads.
    gid_t group = static_cast<gid_t>(user);
    if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0) {
      ::_exit(2);
    }
    ::alarm(20);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::_exit(10);
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char reply[8];
    ::_exit(::read(fd, reply, sizeof reply) > 0 ? 12 : 11);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class VisibleInstance : public testing::Test {
 protected:
  fs::path data() const { return folder.path() / "data"; }
  fs::path lockFolder() const { return data() / "Tarnwick"; }
  fs::path lockFile() const { return lockFolder() / "visible-app.lock"; }
  fs::path socketFile() const { return lockFolder() / "visible-app.socket"; }
  fs::path output(const std::string& name) const { return folder.path() / (name + ".out"); }

  TemporaryFolder folder;
};

TEST_F(VisibleInstance, FirstStartMakesAPrivateFolderWithTheLockAndTheSocket) {
  Probe first(data(), {}, output("first"));
  ASSERT_TRUE(first.waitForLine("primary locked")) << first.output();
  EXPECT_EQ(modeBits(lockFolder()), 0700U);
  EXPECT_TRUE(fs::is_regular_file(lockFile()));
  EXPECT_EQ(modeBits(lockFile()), 0600U);
  EXPECT_EQ(fs::file_size(lockFile()), 0U);
  EXPECT_TRUE(fs::is_socket(socketFile()));
  EXPECT_EQ(modeBits(socketFile()), 0600U);
}

TEST_F(VisibleInstance, AnExistingFolderIsMadePrivate) {
  fs::create_directories(lockFolder());
  ::chmod(lockFolder().c_str(), 0755);
  Probe first(data(), {}, output("first"));
  ASSERT_TRUE(first.waitForLine("primary locked"));
  EXPECT_EQ(modeBits(lockFolder()), 0700U);
}

TEST_F(VisibleInstance, ASecondStartHandsItsURLsToTheFirstInOrderAndExitsZero) {
  Probe first(data(), {}, output("first"));
  ASSERT_TRUE(first.waitForLine("primary locked"));

  Probe second(data(), {"tarnwick://plaid-complete", "tarnwick://desktop-pair?server=a b&x=$(y)"},
               output("second"));
  EXPECT_EQ(second.process().wait(10s), 0);
  EXPECT_EQ(second.output(), "");  // it never held the lock
  ASSERT_TRUE(first.waitForLineCount(2));
  EXPECT_EQ(first.lines()[1],
            "activate\ttarnwick://plaid-complete\ttarnwick://desktop-pair?server=a b&x=$(y)");

  Probe third(data(), {}, output("third"));
  EXPECT_EQ(third.process().wait(10s), 0);
  ASSERT_TRUE(first.waitForLineCount(3));
  EXPECT_EQ(first.lines()[2], "activate");  // a bare start only brings it forward
  EXPECT_TRUE(first.process().running());
}

TEST_F(VisibleInstance, AfterTheHolderIsKilledTheNextStartTakesTheLockAtOnce) {
  {
    Probe first(data(), {}, output("first"));
    ASSERT_TRUE(first.waitForLine("primary locked"));
    first.process().signal(SIGKILL);
    EXPECT_EQ(first.process().wait(10s), 128 + SIGKILL);
  }
  // What the crash left behind: the lock file and a socket nobody listens on.
  EXPECT_TRUE(fs::is_regular_file(lockFile()));
  EXPECT_TRUE(fs::is_socket(socketFile()));

  Probe next(data(), {}, output("next"));
  ASSERT_TRUE(next.waitForLine("primary locked")) << next.output();
  Probe later(data(), {"tarnwick://after-the-crash"}, output("later"));
  EXPECT_EQ(later.process().wait(10s), 0);
  ASSERT_TRUE(next.waitForLine("activate\ttarnwick://after-the-crash"));
}

TEST_F(VisibleInstance, SimultaneousStartsLeaveExactlyOneHolderThatHearsFromAllTheOthers) {
  constexpr int count = 5;
  std::vector<std::unique_ptr<Probe>> probes;
  for (int index = 0; index < count; ++index) {
    probes.push_back(std::make_unique<Probe>(
        data(), std::vector<std::string>{"tarnwick://from-" + std::to_string(index)},
        output("probe-" + std::to_string(index))));
  }
  ASSERT_TRUE(waitUntil(
      [&] {
        return std::count_if(probes.begin(), probes.end(),
                             [](auto& probe) { return !probe->process().running(); }) == count - 1;
      },
      20s));
  Probe* holder = nullptr;
  std::set<std::string> expected;
  for (int index = 0; index < count; ++index) {
    auto& probe = probes[static_cast<std::size_t>(index)];
    if (probe->process().running()) {
      holder = probe.get();
    } else {
      EXPECT_EQ(probe->process().wait(0s), 0);
      EXPECT_EQ(probe->output(), "");
      expected.insert("activate\ttarnwick://from-" + std::to_string(index));
    }
  }
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(holder->waitForLineCount(count));
  auto lines = holder->lines();
  std::set<std::string> activations;
  for (const auto& line : lines) {
    if (line != "primary locked") {
      activations.insert(line);
    }
  }
  EXPECT_EQ(activations, expected);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "primary locked"), 1);
}

TEST_F(VisibleInstance, WithNobodyAnsweringARefusedStartStillExitsZero) {
  // The lock held by something that does not listen: this test.
  fs::create_directories(lockFolder());
  int lock = ::open(lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);

  Probe withoutSocket(data(), {"tarnwick://nobody"}, output("without"));
  EXPECT_EQ(withoutSocket.process().wait(15s), 0);

  // A socket left by a crash, with nobody listening on it.
  int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  auto address = addressOf(socketFile());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  Probe withStaleSocket(data(), {"tarnwick://nobody"}, output("stale"));
  EXPECT_EQ(withStaleSocket.process().wait(15s), 0);

  EXPECT_EQ(withoutSocket.output() + withStaleSocket.output(), "");
  ::close(lock);
}

TEST_F(VisibleInstance, ADataFolderThatCannotBeCreatedStillStarts) {
  writeFile(folder.path() / "file", "a regular file, not a folder");
  auto underAFile = folder.path() / "file" / "data";
  Probe first(underAFile, {}, output("first"));
  ASSERT_TRUE(first.waitForLine("primary unguarded")) << first.output();
  // Without a lock there is no guard: another copy starts as well.
  Probe second(underAFile, {}, output("second"));
  EXPECT_TRUE(second.waitForLine("primary unguarded"));
}

TEST_F(VisibleInstance, AnUnwritableDataFolderStillStarts) {
  // Permission bits do not stop the administrator, so as root the probe runs as nobody.
  std::optional<uid_t> user;
  auto readOnly = folder.path() / "read-only";
  fs::create_directory(readOnly);
  if (::getuid() == 0) {
    user = nobody;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0711), 0);
    ASSERT_EQ(::chown(readOnly.c_str(), nobody, nobody), 0);
  }
  ASSERT_EQ(::chmod(readOnly.c_str(), 0500), 0);
  Probe first(readOnly, {}, output("first"), user);
  ASSERT_TRUE(first.waitForLine("primary unguarded")) << first.output();
  EXPECT_FALSE(fs::exists(readOnly / "Tarnwick"));
}

TEST_F(VisibleInstance, AnotherUsersConnectionIsRefused) {
  if (::getuid() != 0) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  TarnwickVisibleInstance holder;
  ASSERT_TRUE(holder.claim(data()));
  Recorder recorder;
  holder.listen(recorder.handler());
  auto request = *app::activation::encodeRequest({"tarnwick://from-another-user"});

  // Everything up to the lock folder is open to others; the folder itself keeps them out.
  ASSERT_EQ(::chmod(folder.path().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(data().c_str(), 0755), 0);
  EXPECT_EQ(attemptAsUser(nobody, socketFile(), request), 10);

  // With the folder and the socket opened up, the connection is made, and the user check alone
  // refuses it: no answer, nothing delivered.
  ASSERT_EQ(::chmod(lockFolder().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(socketFile().c_str(), 0777), 0);
  EXPECT_EQ(attemptAsUser(nobody, socketFile(), request), 11);

  // The same request from this user is taken. Requests are served one at a time, so the refused
  // one is over by now.
  EXPECT_TRUE(app::activation::sendRequest(socketFile(), request, 10s));
  EXPECT_EQ(recorder.received(),
            std::vector<std::vector<std::string>>{{"tarnwick://from-another-user"}});
}

TEST_F(VisibleInstance, MalformedRequestsAreDroppedAndTheListenerGoesOn) {
  TarnwickVisibleInstance holder;
  ASSERT_TRUE(holder.claim(data()));
  Recorder recorder;
  holder.listen(recorder.handler());

  const std::vector<std::string> malformed = {""s,
                                              "hello\0"s,
                                              "activate"s,
                                              "activate\0\0"s,
                                              "activate\0a://1"s,
                                              "activate\0"s + std::string(70 * 1024, 'u') + "\0"s};
  for (const auto& bytes : malformed) {
    EXPECT_EQ(rawExchange(socketFile(), bytes), "") << bytes.substr(0, 20);
  }
  EXPECT_EQ(rawExchange(socketFile(), "activate\0a://1\0"s), "ok");

  // A client that connects and says nothing holds the listener only for a while.
  int stalled = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto address = addressOf(socketFile());
  ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(app::activation::sendRequest(
      socketFile(), *app::activation::encodeRequest({"tarnwick://after"}), 10s));
  ::close(stalled);

  EXPECT_EQ(recorder.received(),
            (std::vector<std::vector<std::string>>{{"a://1"}, {"tarnwick://after"}}));
}

TEST_F(VisibleInstance, TheHolderNeverActivatesItselfAndAnyOtherCopyIsHeard) {
  // Also where the socket's path is too long for a socket address.
  auto deep = data() / std::string(100, 'l') / std::string(100, 'o');
  ASSERT_GE((deep / "Tarnwick" / "visible-app.socket").string().size(),
            sizeof(sockaddr_un::sun_path));
  for (const auto& dataHome : {data(), deep}) {
    TarnwickVisibleInstance holder;
    ASSERT_TRUE(holder.claim(dataHome));
    Recorder recorder;
    holder.listen(recorder.handler());
    holder.activateExisting({"tarnwick://self"});

    TarnwickVisibleInstance other;  // a separate open of the lock file: refused like a process
    EXPECT_FALSE(other.claim(dataHome));
    other.activateExisting({"tarnwick://other"});
    // Served in arrival order, so a request from the holder would have come first.
    EXPECT_EQ(recorder.received(), std::vector<std::vector<std::string>>{{"tarnwick://other"}})
        << dataHome;
  }
}

TEST_F(VisibleInstance, LinksTooLargeToHandOverStillBringTheHolderForward) {
  TarnwickVisibleInstance holder;
  ASSERT_TRUE(holder.claim(data()));
  Recorder recorder;
  holder.listen(recorder.handler());
  TarnwickVisibleInstance other;
  ASSERT_FALSE(other.claim(data()));
  other.activateExisting({"tarnwick://small", "tarnwick://" + std::string(70 * 1024, 'x')});
  EXPECT_EQ(recorder.received(), std::vector<std::vector<std::string>>{{}});
}

TEST_F(VisibleInstance, AfterStoppingNothingArrivesAndTheLockStaysHeld) {
  TarnwickVisibleInstance holder;
  ASSERT_TRUE(holder.claim(data()));
  Recorder recorder;
  holder.listen(recorder.handler());
  holder.stopListening();
  EXPECT_FALSE(fs::exists(socketFile()));
  EXPECT_FALSE(app::activation::sendRequest(
      socketFile(), *app::activation::encodeRequest({"tarnwick://late"}), 300ms));
  EXPECT_TRUE(recorder.received().empty());
  TarnwickVisibleInstance other;
  EXPECT_FALSE(other.claim(data()));
}

}  // namespace
}  // namespace tarnwick::integration
