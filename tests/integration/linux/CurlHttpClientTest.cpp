#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <set>

#include "Files.h"
#include "LoopbackPort.h"
#include "Processes.h"
#include "platform/linux/net/CurlHttpClient.h"

namespace tarnwick::integration {

using namespace testsupport;
namespace {

namespace fs = std::filesystem;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::Seconds;
using platform::linux_desktop::CurlHttpClient;

// An HTTP server on a free loopback port, answering from its own threads.
class LoopbackServer {
 public:
  ~LoopbackServer() {
    release();
    if (thread_.joinable()) {
      server.stop();
      thread_.join();
    }
  }
  // Call once every handler is in place.
  bool start() {
    port_ = server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
      return false;
    }
    thread_ = std::thread([this] { server.listen_after_bind(); });
    return waitUntil([this] { return server.is_running(); }, 10s);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Counts a handler in.
  void arrive() {
    std::lock_guard lock(mutex_);
    ++held_;
    changed_.notify_all();
  }
  // Holds a handler until released or `limit` passes; true when released.
  bool hold(Clock::duration limit) {
    arrive();
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return released_; });
  }
  bool waitForHeld(int count, Clock::duration limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return held_ >= count; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

  httplib::Server server;

 private:
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int held_ = 0;
  bool released_ = false;
};

struct Outcome {
  HttpResponse response;
  std::thread::id thread;
  std::optional<fs::path> file;
  std::optional<std::string> fileContents;
  fs::perms fileMode = fs::perms::none;
};

std::future<Outcome> fetch(CurlHttpClient& client, HttpRequest request) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto result = promise->get_future();
  client.dataTask(std::move(request), [promise](const HttpResponse& response) {
    promise->set_value({response, std::this_thread::get_id()});
  });
  return result;
}

std::future<Outcome> download(CurlHttpClient& client, HttpRequest request,
                              std::optional<fs::path> moveTo = std::nullopt) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto result = promise->get_future();
  client.downloadTask(std::move(request), [promise, moveTo](const HttpResponse& response,
                                                            const std::optional<fs::path>& file) {
    Outcome outcome{response, std::this_thread::get_id(), file};
    if (file && fs::exists(*file)) {
      outcome.fileContents = readFile(*file);
      outcome.fileMode = fs::status(*file).permissions();
      if (moveTo) {
        fs::rename(*file, *moveTo);
      }
    }
    promise->set_value(outcome);
  });
  return result;
}

Outcome await(std::future<Outcome> future) {
  if (future.wait_for(20s) != std::future_status::ready) {
    ADD_FAILURE() << "no completion within 20 s";
    return {};
  }
  return future.get();
}

HttpRequest get(const std::string& url, double timeout = 10.0) {
  HttpRequest request;
  request.url = url;
  request.timeout = Seconds(timeout);
  return request;
}

// A port nothing listens on: bound once, then let go.
std::string refusingURL() {
  LoopbackPort port;
  port.close();
  return port.url();
}

// What the server saw of a request's headers, without the entries the server adds itself.
std::multimap<std::string, std::string> sentHeaders(const httplib::Request& request) {
  static const std::set<std::string> ownEntries = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR",
                                                   "LOCAL_PORT"};
  std::multimap<std::string, std::string> headers;
  for (const auto& [name, value] : request.headers) {
    if (!ownEntries.contains(name)) {
      headers.emplace(name, value);
    }
  }
  return headers;
}

class CurlClient : public testing::Test {
 protected:
  LoopbackServer server;
};

// Another account's look-alike: a child switched to `nobody` listens, accepts one connection and
// answers like a Connector. The client must name that account, not ours.
TEST(CurlClientPeer, NamesTheAccountOfAListenerThatIsNotOurs) {
  if (::getuid() != 0) {
    GTEST_SKIP() << "switching to nobody needs root";
  }
  constexpr uid_t nobody = 65534;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
      ::_exit(1);
    }
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (::bind(listener, any, length) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, any, &length) != 0) {
      ::_exit(1);
    }
    std::uint16_t port = ntohs(address.sin_port);
    (void)!::write(ready[1], &port, sizeof port);
    int peer = ::accept(listener, nullptr, nullptr);
    char request[4096];
    (void)!::read(peer, request, sizeof request);
    constexpr std::string_view answer =
        "HTTP/1.1 200 OK\r\nServer: TarnwickDesktop/2.0.1\r\nContent-Length: 0\r\n"
        "Connection: close\r\n\r\n";
    (void)!::write(peer, answer.data(), answer.size());
    ::_exit(0);
  }
  ::close(ready[1]);
  std::uint16_t port = 0;
  ASSERT_EQ(::read(ready[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
  ::close(ready[0]);
  CurlHttpClient client;
  auto outcome = await(fetch(client, get("http://127.0.0.1:" + std::to_string(port) + "/")));
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(outcome.response.status, 200);
  EXPECT_EQ(outcome.response.peerAccount, nobody);
}

TEST_F(CurlClient, GivesStatusHeadersAndBodyOfTheAnswer) {
  server.server.Get("/hello", [](const httplib::Request&, httplib::Response& response) {
    response.status = 201;
    response.set_header("Server", "TarnwickDesktop/2.0.1");
    response.set_header("X-Folded", "one,  two");
    response.set_content("hello\n", "text/plain");
  });
  server.server.Get("/empty", [](const httplib::Request&, httplib::Response& response) {
    response.status = 204;
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client;

  auto outcome = await(fetch(client, get(server.url("/hello"))));
  EXPECT_FALSE(outcome.response.transportError);
  EXPECT_EQ(outcome.response.status, 201);
  EXPECT_EQ(outcome.response.header("server"), "TarnwickDesktop/2.0.1");
  EXPECT_EQ(outcome.response.header("X-FOLDED"), "one,  two");
  EXPECT_EQ(outcome.response.header("Content-Type"), "text/plain");
  EXPECT_EQ(outcome.response.body, "hello\n");
  // The kernel names the owner of the socket that answered: this test, so this account.
  EXPECT_EQ(outcome.response.peerAccount, ::getuid());

  for (auto [path, status] : {std::pair{"/empty", 204}, std::pair{"/nowhere", 404}}) {
    auto result = await(fetch(client, get(server.url(path))));
    EXPECT_EQ(result.response.status, status) << path;
    EXPECT_FALSE(result.response.transportError) << path;
    EXPECT_TRUE(result.response.body) << path << ": an answer has a body, if empty";
    EXPECT_FALSE(result.response.header("Server")) << path;
  }
}

TEST_F(CurlClient, SendsExactlyTheCallersHeadersAndNothingOfItsOwn) {
  std::mutex mutex;
  std::vector<httplib::Request> seen;
  auto record = [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex);
    seen.push_back(request);
    response.set_content("ok", "text/plain");
  };
  server.server.Get("/echo", record);
  server.server.Post("/echo", record);
  ASSERT_TRUE(server.start());
  CurlHttpClient client;
  const std::string host = server.url("").substr(std::string("http://").size());
  const std::string large(1536 * 1024, 'x');  // past the size at which curl would ask to continue

  using Headers = std::multimap<std::string, std::string>;
  struct Case {
    const char* what;
    std::string method;
    platform::HeaderList headers;
    std::string body;
    Headers expected;
  };
  std::vector<Case> cases = {
      {"plainGet", "GET", {}, "", Headers{{"Host", host}}},
      {"getWithToken",
       "GET",
       {{"X-Tarnwick-CSRF", "t0k3n"}},
       "",
       Headers{{"Host", host}, {"X-Tarnwick-CSRF", "t0k3n"}}},
      {"callerAccept",
       "GET",
       {{"Accept", "application/json"}},
       "",
       Headers{{"Host", host}, {"Accept", "application/json"}}},
      // (A header with an empty value is sent, but the loopback server's library drops such
      // headers, so it cannot be observed here.)
      {"jsonPost",
       "POST",
       {{"Content-Type", "application/json"}, {"X-Tarnwick-CSRF", "abc"}},
       "{}",
       Headers{{"Host", host},
               {"Content-Type", "application/json"},
               {"X-Tarnwick-CSRF", "abc"},
               {"Content-Length", "2"}}},
      {"postWithoutType", "POST", {}, "{}", Headers{{"Host", host}, {"Content-Length", "2"}}},
      {"largePost",
       "POST",
       {{"Content-Type", "application/octet-stream"}},
       large,
       Headers{{"Host", host},
               {"Content-Type", "application/octet-stream"},
               {"Content-Length", std::to_string(large.size())}}},
  };
  for (const auto& each : cases) {
    HttpRequest request = get(server.url("/echo"));
    request.method = each.method;
    request.headers = each.headers;
    request.body = each.body;
    auto outcome = await(fetch(client, request));
    ASSERT_EQ(outcome.response.status, 200) << each.what;
    std::lock_guard lock(mutex);
    ASSERT_FALSE(seen.empty()) << each.what;
    EXPECT_EQ(seen.back().method, each.method) << each.what;
    EXPECT_EQ(seen.back().body, each.body) << each.what;
    EXPECT_EQ(sentHeaders(seen.back()), each.expected) << each.what;
  }
}

TEST_F(CurlClient, RefusesHeadersAndMethodsThatWouldBreakTheRequestLine) {
  std::atomic<int> hits = 0;
  server.server.Get("/", [&](const httplib::Request&, httplib::Response& response) {
    ++hits;
    response.set_content("ok", "text/plain");
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client;
  struct Case {
    const char* what;
    std::string method;
    platform::HeaderList headers;
  };
  for (const auto& each :
       {Case{"lineBreakInValue", "GET", {{"X-Tarnwick-CSRF", "a\r\nX-Injected: 1"}}},
        Case{"bareNewlineInValue", "GET", {{"X-Token", "a\nb"}}},
        Case{"nulInValue", "GET", {{"X-Token", std::string("a\0b", 3)}}},
        Case{"spaceInName", "GET", {{"Bad Name", "x"}}},
        Case{"colonInName", "GET", {{"X-A:B", "x"}}}, Case{"emptyName", "GET", {{"", "x"}}},
        Case{"methodWithSpace", "GET / HTTP/1.1\r\nX:", {}}}) {
    HttpRequest request = get(server.url("/"));
    request.method = each.method;
    request.headers = each.headers;
    auto outcome = await(fetch(client, request));
    EXPECT_FALSE(outcome.response.status) << each.what;
    EXPECT_TRUE(outcome.response.transportError) << each.what;
  }
  EXPECT_EQ(hits.load(), 0) << "nothing may reach the server";
}

TEST_F(CurlClient, ARequestPastItsTimeoutFailsAsTimedOut) {
  server.server.Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
    server.hold(10s);
    response.set_content("late", "text/plain");
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client;
  auto began = Clock::now();
  auto outcome = await(fetch(client, get(server.url("/slow"), 0.3)));
  EXPECT_EQ(outcome.response.transportError, "The request timed out.");
  EXPECT_FALSE(outcome.response.status);
  EXPECT_FALSE(outcome.response.body);
  EXPECT_LT(Clock::now() - began, 5s);
}

TEST_F(CurlClient, ARefusedConnectionHasNoStatus) {
  CurlHttpClient client;
  auto outcome = await(fetch(client, get(refusingURL(), 2.0)));
  EXPECT_EQ(outcome.response.transportError, "Could not connect to the server.");
  EXPECT_FALSE(outcome.response.status);
  EXPECT_TRUE(outcome.response.headers.empty());
  EXPECT_FALSE(outcome.response.body);
}

TEST_F(CurlClient, FollowsRedirectsWithinLimitsAndOnlyToWebAddresses) {
  server.server.Get("/start", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/final", 302);
    response.set_header("X-Hop", "first");
  });
  server.server.Get("/final", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("arrived", "text/plain");
  });
  server.server.Get("/loop", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/loop", 302);
  });
  server.server.Get("/local-file", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("file:///etc/hostname", 302);
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client;

  auto outcome = await(fetch(client, get(server.url("/start"))));
  EXPECT_EQ(outcome.response.status, 200);
  EXPECT_EQ(outcome.response.body, "arrived");
  EXPECT_FALSE(outcome.response.header("X-Hop")) << "headers are the final answer's";

  EXPECT_EQ(await(fetch(client, get(server.url("/loop")))).response.transportError,
            "There were too many redirects.");

  auto refused = await(fetch(client, get(server.url("/local-file"))));
  EXPECT_FALSE(refused.response.status);
  EXPECT_TRUE(refused.response.transportError);

  auto directOutcome = await(fetch(client, get("file:///etc/hostname")));
  EXPECT_EQ(directOutcome.response.transportError, "The URL is not supported.");
  EXPECT_FALSE(directOutcome.response.body);
}

TEST_F(CurlClient, ADownloadedFileLivesOnlyUntilItsCompletionReturns) {
  std::string payload;
  for (int index = 0; index < 300000; ++index) {
    payload.push_back(static_cast<char>(index * 7 % 256));
  }
  server.server.Get("/image", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(payload, "application/octet-stream");
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client;

  auto outcome = await(download(client, get(server.url("/image"))));
  EXPECT_EQ(outcome.response.status, 200);
  ASSERT_TRUE(outcome.file);
  EXPECT_EQ(outcome.fileContents, payload);
  EXPECT_EQ(outcome.fileMode & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(*outcome.file); }, 5s))
      << "the file outlived its completion";

  // Moved away inside the completion, it is the caller's to keep.
  TemporaryFolder kept;
  auto movedOutcome = await(download(client, get(server.url("/image")), kept.path() / "kept.dmg"));
  EXPECT_EQ(readFile(kept.path() / "kept.dmg"), payload);
  ASSERT_TRUE(movedOutcome.file);
  EXPECT_FALSE(fs::exists(*movedOutcome.file));

  auto failedOutcome = await(download(client, get(refusingURL())));
  EXPECT_TRUE(failedOutcome.response.transportError);
  EXPECT_FALSE(failedOutcome.file);
}

TEST_F(CurlClient, RunsRequestsSideBySideAndCompletesThemOnItsOwnThread) {
  constexpr int together = 4;
  server.server.Get("/together", [&](const httplib::Request&, httplib::Response& response) {
    // Every request is held until all have arrived: one at a time, none would ever finish.
    server.arrive();
    bool all = server.waitForHeld(together, 8s);
    response.status = all ? 200 : 500;
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client;
  std::vector<std::future<Outcome>> pending;
  for (int index = 0; index < together; ++index) {
    pending.push_back(fetch(client, get(server.url("/together"))));
  }
  std::set<std::thread::id> threads;
  for (auto& each : pending) {
    auto outcome = await(std::move(each));
    EXPECT_EQ(outcome.response.status, 200);
    threads.insert(outcome.thread);
  }
  EXPECT_EQ(threads.size(), 1U) << "one worker thread";
  EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
}

TEST_F(CurlClient, ABodyPastTheLimitFailsTheTransfer) {
  server.server.Get("/sized", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(std::string(std::stoul(request.get_param_value("bytes")), 'z'),
                         "text/plain");
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client(CurlHttpClient::Limits{.maximumBodyBytes = 1000});
  EXPECT_EQ(await(fetch(client, get(server.url("/sized?bytes=1000")))).response.body,
            std::string(1000, 'z'));
  auto outcome = await(fetch(client, get(server.url("/sized?bytes=1001"))));
  EXPECT_EQ(outcome.response.transportError, "The response was too large.");
  EXPECT_FALSE(outcome.response.status);
  EXPECT_FALSE(outcome.response.body);
}

TEST_F(CurlClient, AThrowingCompletionLeavesTheWorkerServing) {
  server.server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok", "text/plain");
  });
  ASSERT_TRUE(server.start());
  CurlHttpClient client;
  client.dataTask(get(server.url("/")),
                  [](const HttpResponse&) { throw std::runtime_error("careless completion"); });
  EXPECT_EQ(await(fetch(client, get(server.url("/")))).response.status, 200);
}

TEST_F(CurlClient, DestroyingTheClientAbandonsOpenRequestsPromptly) {
  server.server.Get("/hang",
                    [&](const httplib::Request&, httplib::Response&) { server.hold(20s); });
  ASSERT_TRUE(server.start());
  std::atomic<bool> completed = false;
  auto began = Clock::now();
  {
    CurlHttpClient client;
    client.dataTask(get(server.url("/hang"), 30.0), [&](const HttpResponse&) { completed = true; });
    ASSERT_TRUE(server.waitForHeld(1, 10s));
  }
  EXPECT_LT(Clock::now() - began, 8s);
  EXPECT_FALSE(completed.load());
}

}  // namespace
}  // namespace tarnwick::integration
