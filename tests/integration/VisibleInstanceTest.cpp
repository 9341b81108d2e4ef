// The single visible instance with real processes, a real lock and a real socket.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <set>

#include "Integration.h"
#include "app/TarnwickVisibleInstance.h"

namespace tarnwick::integration {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;
using Received = std::vector<Lines>;

// Connects to `path` and sends `bytes`; what comes back before the holder closes, or "refused".
std::string talk(const fs::path& path, const std::string& bytes) {
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string reply = "refused";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, bytes.empty() ? SHUT_RD : SHUT_WR);  // empty: stays silent, for a while
    char buffer[256];
    reply.clear();
    for (ssize_t got; !bytes.empty() && (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      reply.append(buffer, static_cast<std::size_t>(got));
    }
  }
  return bytes.empty() ? std::to_string(fd) : (::close(fd), reply);
}

// The probe started as the shell starts, writing what it is told.
struct Probe {
  Lines lines() const { return linesOf(readFile(out)); }
  bool says(const std::string& line) const {
    return waitUntil([&] { return std::ranges::count(lines(), line) > 0; }, 10s);
  }
  fs::path out;
  Process process;
};

class VisibleInstance : public testing::Test {
 protected:
  std::unique_ptr<Probe> start(Lines urls = {}, std::optional<fs::path> home = {},
                               std::optional<uid_t> user = {}) {
    urls.insert(urls.begin(), {"instance", home.value_or(data).string()});
    auto out = folder.path() / std::to_string(++started);
    return std::unique_ptr<Probe>(
        new Probe{out, Process(TARNWICK_PROBE, urls, {.stdoutFile = out, .user = user})});
  }
  TemporaryFolder folder;
  int started = 0;
  fs::path data = folder.path() / "data", lockFolder = data / "Tarnwick",
           lock = lockFolder / "visible-app.lock", socket = lockFolder / "visible-app.socket";
};

TEST_F(VisibleInstance, OneStartHoldsAPrivateLockAndEveryOtherHandsItsLinksOverAndExitsZero) {
  auto first = start();
  ASSERT_TRUE(first->says("primary locked")) << readFile(first->out);
  for (const auto& [path, mode] : {std::pair{lockFolder, 0700}, {lock, 0600}, {socket, 0600}}) {
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(mode)) << path;
  }
  EXPECT_TRUE(fs::file_size(lock) == 0 && fs::is_socket(socket));
  auto second = start({"tarnwick://plaid-complete", "tarnwick://pair?a=b c&x=$(y)"});
  EXPECT_EQ(second->process.wait(10s), 0);
  auto bare = start();
  EXPECT_EQ(bare->process.wait(10s), 0);
  EXPECT_TRUE(first->says("activate"));  // a bare start only brings the holder forward
  EXPECT_EQ(
      first->lines(),
      (Lines{"primary locked", "activate\ttarnwick://plaid-complete\ttarnwick://pair?a=b c&x=$(y)",
             "activate"}));
  EXPECT_EQ(readFile(second->out) + readFile(bare->out), "") << "they never held the lock";

  // Killed, it leaves the lock and a dead socket; the next start takes over, the folder private.
  first->process.signal(SIGKILL);
  EXPECT_EQ(first->process.wait(10s), 128 + SIGKILL);
  fs::permissions(lockFolder, fs::perms(0755));
  auto next = start();
  ASSERT_TRUE(next->says("primary locked"));
  EXPECT_EQ(fs::status(lockFolder).permissions(), fs::perms(0700));
  std::vector<std::unique_ptr<Probe>> together;  // simultaneous: exactly one holder hears them all
  for (const char* url : {"tarnwick://a", "tarnwick://b", "tarnwick://c", "tarnwick://d"}) {
    together.push_back(start({url}));
  }
  for (auto& each : together) {
    EXPECT_EQ(each->process.wait(10s), 0);
  }
  ASSERT_TRUE(waitUntil([&] { return next->lines().size() == 5; }, 10s));
  auto lines = next->lines();
  EXPECT_EQ(
      std::set(lines.begin(), lines.end()),
      (std::set<std::string>{"primary locked", "activate\ttarnwick://a", "activate\ttarnwick://b",
                             "activate\ttarnwick://c", "activate\ttarnwick://d"}));
}

TEST_F(VisibleInstance, AStartProceedsWhenNobodyAnswersOrWithoutAGuardWhenNoLockCanBeMade) {
  // The lock held by something that does not listen (this test), with no socket, then a dead one.
  fs::create_directories(lockFolder);
  int held = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(start({"tarnwick://x"})->process.wait(15s), 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);  // as a crash leaves it
  ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(dead);
  EXPECT_EQ(start({"tarnwick://x"})->process.wait(15s), 0);
  ::close(held);

  writeFile(folder.path() / "file", "");  // no folder for a lock: every copy shows its window
  auto one = start({}, folder.path() / "file/data"), two = start({}, folder.path() / "file/data");
  EXPECT_TRUE(one->says("primary unguarded") && two->says("primary unguarded"));
  // A folder it may not write (as root the probe runs as nobody, whom permission bits stop).
  auto readOnly = folder.path() / "read-only";
  fs::create_directory(readOnly);
  std::optional<uid_t> user;
  if (::getuid() == 0) {
    user = 65534;
    fs::permissions(folder.path(), fs::perms(0711));
    ASSERT_EQ(::chown(readOnly.c_str(), 65534, 65534), 0);
  }
  fs::permissions(readOnly, fs::perms(0500));
  EXPECT_TRUE(start({}, readOnly, user)->says("primary unguarded"));
  EXPECT_FALSE(fs::exists(readOnly / "Tarnwick"));
}

TEST_F(VisibleInstance, TheListenerTakesWellFormedRequestsOfThisUserOnlyAndNeverFromItself) {
  std::mutex mutex;
  Received received;
  auto heard = [&] {
    std::lock_guard guard(mutex);
    return received;
  };
  auto deep = data / std::string(100, 'l') / std::string(100, 'o');  // too long a socket path
  for (const auto& home : {deep, data}) {
    received.clear();
    app::TarnwickVisibleInstance holder, other;
    ASSERT_TRUE(holder.claim(home));
    holder.listen([&](Lines urls) {
      std::lock_guard guard(mutex);
      received.push_back(std::move(urls));
    });
    holder.activateExisting({"tarnwick://self"});
    EXPECT_FALSE(other.claim(home)) << "a separate open of the lock file is refused like a process";
    other.activateExisting({"tarnwick://other"});
    // Served in arrival order, so a request from the holder would have come first.
    EXPECT_EQ(heard(), Received{{"tarnwick://other"}}) << home;
    if (home == deep) {
      continue;
    }
    if (::getuid() == 0) {
      // Another user is kept out by the folder, or with it opened up by the listener's own check.
      fs::permissions(folder.path(), fs::perms(0711));
      fs::permissions(data, fs::perms(0755));
      auto asNobody = [&] {  // 10: refused; 11: heard, and closed without a word
        const char* client = R"(import socket, sys
s = socket.socket(socket.AF_UNIX)
try: s.connect(sys.argv[1])
except OSError: sys.exit(10)
s.sendall(b"activate\0tarnwick://other-user\0"), s.shutdown(socket.SHUT_WR)
try: sys.exit(11 if s.recv(9) == b"" else 12)
except OSError: sys.exit(11))";
        return Process("/usr/bin/python3", {"-c", client, socket}, {.user = 65534}).wait(20s);
      };
      EXPECT_EQ(asNobody(), 10);
      fs::permissions(lockFolder, fs::perms(0755));
      fs::permissions(socket, fs::perms(0777));
      EXPECT_EQ(asNobody(), 11);
    }
    for (const auto& bytes :
         {"activate\0\0"s, "activate\0"s + std::string(70 * 1024, 'u') + '\0'}) {
      EXPECT_EQ(talk(socket, bytes), "") << "dropped";
    }
    EXPECT_EQ(talk(socket, "activate\0a://1\0"s), "ok");
    // A client that connects and says nothing holds the listener only for a while.
    int silent = std::stoi(talk(socket, ""));
    EXPECT_TRUE(app::activation::sendRequest(
        socket, *app::activation::encodeRequest({"tarnwick://after"}), 10s));
    ::close(silent);
    // Links too large to hand over still bring the holder forward.
    other.activateExisting({"tarnwick://small", "tarnwick://" + std::string(70 * 1024, 'x')});
    EXPECT_EQ(heard(), (Received{{"tarnwick://other"}, {"a://1"}, {"tarnwick://after"}, {}}));
    holder.stopListening();
    EXPECT_FALSE(fs::exists(socket));
    other.activateExisting({"tarnwick://late"});
    EXPECT_EQ(heard().size(), 4u);
    EXPECT_FALSE(app::TarnwickVisibleInstance().claim(data)) << "the lock stays held";
  }
}

}  // namespace
}  // namespace tarnwick::integration
