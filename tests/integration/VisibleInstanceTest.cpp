// The single visible instance with real processes, a real lock and a real socket.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <set>

#include "Integration.h"
#include "app/TarnwickVisibleInstance.h"

namespace tarnwick::integration {
namespace {

using namespace std::string_literals;
using Received = std::vector<std::vector<std::string>>;
constexpr uid_t nobody = 65534;

unsigned modeOf(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 07777777;
}

sockaddr_un addressOf(const fs::path& path) {
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// Sends `bytes` as a client; what comes back before the holder closes.
std::string talk(const fs::path& path, const std::string& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval limit{.tv_sec = 10, .tv_usec = 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  auto address = addressOf(path);
  std::string reply = "<no connection>";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    reply.clear();
    char buffer[256];
    for (ssize_t count; (count = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      reply.append(buffer, static_cast<std::size_t>(count));
    }
  }
  ::close(fd);
  return reply;
}

// The probe started as the shell starts, its standard output in a file.
struct Probe {
  Probe(const fs::path& file, const std::vector<std::string>& arguments, std::optional<uid_t> user)
      : out(file), process(TARNWICK_PROBE, arguments, {.stdoutFile = file, .user = user}) {}
  std::vector<std::string> lines() const { return linesOf(readFile(out)); }
  bool says(const std::string& line, std::size_t count = 1) const {
    return waitUntil([&] { return std::ranges::count(lines(), line) >= long(count); }, 10s);
  }
  fs::path out;
  Process process;
};

// A holder in this process, recording what it is asked to open.
struct Holder {
  explicit Holder(const fs::path& data) : claimed(instance.claim(data)) {
    instance.listen([this](std::vector<std::string> urls) {
      std::lock_guard guard(mutex);
      received.push_back(std::move(urls));
    });
  }
  Received got() {
    std::lock_guard guard(mutex);
    return received;
  }
  std::mutex mutex;
  Received received;
  app::TarnwickVisibleInstance instance;  // stops listening before the rest goes
  bool claimed;
};

class VisibleInstance : public testing::Test {
 protected:
  std::unique_ptr<Probe> start(const std::string& name, std::vector<std::string> urls = {},
                               std::optional<fs::path> home = {}, std::optional<uid_t> user = {}) {
    urls.insert(urls.begin(), {"instance", home.value_or(data).string()});
    return std::make_unique<Probe>(folder.path() / (name + ".out"), urls, user);
  }
  TemporaryFolder folder;
  fs::path data = folder.path() / "data", lockFolder = data / "Tarnwick",
           lock = lockFolder / "visible-app.lock", socket = lockFolder / "visible-app.socket";
};

TEST_F(VisibleInstance, TheFirstStartHoldsAPrivateLockAndLaterStartsHandItTheirLinks) {
  auto first = start("first");
  ASSERT_TRUE(first->says("primary locked")) << readFile(first->out);
  EXPECT_EQ(modeOf(lockFolder), 0700u);
  EXPECT_EQ(modeOf(lock), 0600u);
  EXPECT_TRUE(fs::is_regular_file(lock) && fs::file_size(lock) == 0);
  EXPECT_TRUE(fs::is_socket(socket));
  EXPECT_EQ(modeOf(socket), 0600u);

  auto second = start("second", {"tarnwick://plaid-complete", "tarnwick://pair?a=b c&x=$(y)"});
  EXPECT_EQ(second->process.wait(10s), 0);
  auto third = start("third");  // a bare start only brings the holder forward
  EXPECT_EQ(third->process.wait(10s), 0);
  ASSERT_TRUE(first->says("activate"));
  EXPECT_EQ(first->lines(),
            (std::vector<std::string>{"primary locked",
                                      "activate\ttarnwick://plaid-complete\ttarnwick://pair?a=b c&x=$(y)",
                                      "activate"}));
  EXPECT_EQ(readFile(second->out) + readFile(third->out), "") << "they never held the lock";

  // Killed, it leaves the lock file and a dead socket; the next start takes over at once.
  first->process.signal(SIGKILL);
  EXPECT_EQ(first->process.wait(10s), 128 + SIGKILL);
  EXPECT_TRUE(fs::is_socket(socket));
  ::chmod(lockFolder.c_str(), 0755);  // and makes an existing folder private again
  auto next = start("next");
  ASSERT_TRUE(next->says("primary locked"));
  EXPECT_EQ(modeOf(lockFolder), 0700u);
  EXPECT_EQ(start("later", {"tarnwick://after-the-crash"})->process.wait(10s), 0);
  EXPECT_TRUE(next->says("activate\ttarnwick://after-the-crash"));
}

TEST_F(VisibleInstance, OfSimultaneousStartsExactlyOneHoldsTheLockAndHearsFromAllOthers) {
  std::vector<std::unique_ptr<Probe>> probes;
  for (int index = 0; index < 5; ++index) {
    probes.push_back(start(std::to_string(index), {"tarnwick://from-" + std::to_string(index)}));
  }
  auto ended = [&] { return std::ranges::count_if(probes, [](auto& p) { return !p->process.running(); }); };
  ASSERT_TRUE(waitUntil([&] { return ended() == 4; }, 20s));
  std::set<std::string> expected, heard;
  Probe* holder = nullptr;
  for (int index = 0; index < 5; ++index) {
    auto& probe = *probes[std::size_t(index)];
    if (probe.process.running()) {
      holder = &probe;
    } else {
      EXPECT_EQ(probe.process.wait(0s), 0);
      expected.insert("activate\ttarnwick://from-" + std::to_string(index));
    }
  }
  ASSERT_TRUE(holder && waitUntil([&] { return holder->lines().size() == 5; }, 10s));
  expected.insert("primary locked");
  auto lines = holder->lines();
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);
}

TEST_F(VisibleInstance, AStartStillProceedsWhenNobodyAnswersOrNoLockCanBeMade) {
  // The lock held by something that does not listen (this test), with no socket, then a dead one.
  fs::create_directories(lockFolder);
  int held = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(start("without", {"tarnwick://x"})->process.wait(15s), 0);
  int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
  auto address = addressOf(socket);
  ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(dead);
  EXPECT_EQ(start("dead", {"tarnwick://x"})->process.wait(15s), 0);
  ::close(held);

  // No folder for a lock: each copy shows its window, unguarded.
  writeFile(folder.path() / "file", "");
  auto one = start("one", {}, folder.path() / "file" / "data");
  auto two = start("two", {}, folder.path() / "file" / "data");
  EXPECT_TRUE(one->says("primary unguarded") && two->says("primary unguarded"));
  // A folder it may not write (as root the probe runs as nobody, whom permission bits stop).
  auto readOnly = folder.path() / "read-only";
  fs::create_directory(readOnly);
  std::optional<uid_t> user;
  if (::getuid() == 0) {
    user = nobody;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0711) + ::chown(readOnly.c_str(), nobody, nobody), 0);
  }
  ASSERT_EQ(::chmod(readOnly.c_str(), 0500), 0);
  EXPECT_TRUE(start("read-only", {}, readOnly, user)->says("primary unguarded"));
  EXPECT_FALSE(fs::exists(readOnly / "Tarnwick"));
}

TEST_F(VisibleInstance, TheListenerTakesOnlyThisUsersWellFormedRequestsAndGoesOn) {
  Holder holder(data);
  ASSERT_TRUE(holder.claimed);
  if (::getuid() == 0) {
    // Another user is kept out by the folder, and, with folder and socket opened up, by the
    // listener's own check: no answer.
    ASSERT_EQ(::chmod(folder.path().c_str(), 0711) + ::chmod(data.c_str(), 0755), 0);
    auto asNobody = [&] {
      pid_t pid = ::fork();
      if (pid == 0) {
        ::alarm(20);
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
          ::_exit(2);
        }
        auto reply = talk(socket, "activate\0tarnwick://other-user\0"s);
        ::_exit(reply == "<no connection>" ? 10 : reply.empty() ? 11 : 12);
      }
      int status = 0;
      ::waitpid(pid, &status, 0);
      return WEXITSTATUS(status);
    };
    EXPECT_EQ(asNobody(), 10);
    ASSERT_EQ(::chmod(lockFolder.c_str(), 0755) + ::chmod(socket.c_str(), 0777), 0);
    EXPECT_EQ(asNobody(), 11);
  }
  for (const auto& bytes : {""s, "activate\0\0"s, "activate\0"s + std::string(70 * 1024, 'u') + '\0'}) {
    EXPECT_EQ(talk(socket, bytes), "") << bytes.substr(0, 12);
  }
  EXPECT_EQ(talk(socket, "activate\0a://1\0"s), "ok");
  // A client that connects and says nothing holds the listener only for a while.
  int stalled = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto address = addressOf(socket);
  ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  app::TarnwickVisibleInstance other;  // a separate open of the lock file: refused like a process
  EXPECT_FALSE(other.claim(data));
  EXPECT_TRUE(app::activation::sendRequest(
      socket, *app::activation::encodeRequest({"tarnwick://after"}), 10s));
  ::close(stalled);
  // Links too large to hand over still bring the holder forward.
  other.activateExisting({"tarnwick://small", "tarnwick://" + std::string(70 * 1024, 'x')});
  EXPECT_EQ(holder.got(), (Received{{"a://1"}, {"tarnwick://after"}, {}}));

  holder.instance.stopListening();
  EXPECT_FALSE(fs::exists(socket));
  other.activateExisting({"tarnwick://late"});
  EXPECT_EQ(holder.got().size(), 3u);
  EXPECT_FALSE(app::TarnwickVisibleInstance().claim(data)) << "the lock stays held";
}

TEST_F(VisibleInstance, TheHolderNeverActivatesItselfAlsoWhereTheSocketPathIsTooLong) {
  auto deep = data / std::string(100, 'l') / std::string(100, 'o');
  for (const auto& home : {data, deep}) {
    Holder holder(home);
    ASSERT_TRUE(holder.claimed);
    holder.instance.activateExisting({"tarnwick://self"});
    app::TarnwickVisibleInstance other;
    EXPECT_FALSE(other.claim(home));
    other.activateExisting({"tarnwick://other"});
    // Served in arrival order, so a request from the holder would have come first.
    EXPECT_EQ(holder.got(), Received{{"tarnwick://other"}}) << home;
  }
}

}  // namespace
}  // namespace tarnwick::integration
