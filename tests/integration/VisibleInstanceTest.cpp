// The single visible instance with real processes, a real lock and a real socket.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <set>

#include "Integration.h"
#include "app/TarnwickVisibleInstance.h"

namespace tarnwick::integration {

using Lines = std::vector<std::string>;
using Received = std::vector<Lines>;

// A client of the socket ($1) of its own: sends $2 (each "|" a NUL) and exits 10 when refused,
// 11 when closed without a word, 12 on "ok"; or, for "hold", says nothing until it is ended.
const char* const client = R"(import socket, sys, time
s, reply = socket.socket(socket.AF_UNIX), b""
try: s.connect(sys.argv[1])
except OSError: sys.exit(10)
if sys.argv[2] == "hold": print(flush=True), time.sleep(60)
try: s.sendall(sys.argv[2].replace("|", "\0").encode()), s.shutdown(socket.SHUT_WR); reply = s.recv(9)
except OSError: pass
sys.exit({b"": 11, b"ok": 12}.get(reply, 13)))";

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
  const char* bind = "import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])";
  ASSERT_EQ(Process("/usr/bin/python3", {"-c", bind, socket}).wait(10s), 0);
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
    auto ask = [&](const std::string& bytes, std::optional<uid_t> user = {}) {
      return Process("/usr/bin/python3", {"-c", client, socket, bytes}, {.user = user}).wait(20s);
    };
    if (::getuid() == 0) {
      // Another user is kept out by the folder, or with it opened up by the listener's own check.
      fs::permissions(folder.path(), fs::perms(0711));
      fs::permissions(data, fs::perms(0755));
      EXPECT_EQ(ask("activate|tarnwick://other-user|", 65534), 10);
      fs::permissions(lockFolder, fs::perms(0755));
      fs::permissions(socket, fs::perms(0777));
      EXPECT_EQ(ask("activate|tarnwick://other-user|", 65534), 11);
    }
    EXPECT_EQ(ask("activate||"), 11) << "dropped";
    EXPECT_EQ(ask("activate|" + std::string(70 * 1024, 'u') + "|"), 11) << "dropped";
    EXPECT_EQ(ask("activate|a://1|"), 12);
    // A client that connects and says nothing holds the listener only for a while.
    Process silent("/usr/bin/python3", {"-c", client, socket, "hold"},
                   {.stdoutFile = folder.path() / "held"});
    ASSERT_TRUE(waitUntil([&] { return readFile(folder.path() / "held") == "\n"; }, 10s));
    EXPECT_TRUE(app::activation::sendRequest(
        socket, *app::activation::encodeRequest({"tarnwick://after"}), 10s));
    silent.terminate();
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

}  // namespace tarnwick::integration
