// The HTTP client on libcurl against loopback servers of the test's own.
#include <httplib.h>

#include <condition_variable>
#include <future>
#include <set>

#include "Integration.h"
#include "LoopbackPort.h"
#include "platform/linux/CurlHttpClient.h"

namespace tarnwick::integration {
namespace {

using platform::HttpRequest;
using platform::HttpResponse;
using platform::linux_desktop::CurlHttpClient;

// An HTTP server on a free loopback port, answering from its own threads.
struct Server {
  ~Server() {
    {
      std::lock_guard lock(mutex);
      gone = true;
      changed.notify_all();
    }
    http.stop();
    if (thread.joinable()) {
      thread.join();
    }
  }
  bool start() {  // once every handler is in place
    port = http.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { http.listen_after_bind(); });
    return port > 0 && waitUntil([this] { return http.is_running(); }, 10s);
  }
  HttpRequest get(const std::string& path, double timeout = 10) const {
    return {.url = "http://127.0.0.1:" + std::to_string(port) + path,
            .timeout = platform::Seconds(timeout)};
  }
  // Counts a handler in and holds it until `count` have come, the server goes, or `limit` passes.
  bool gather(int count, Clock::duration limit) {
    std::unique_lock lock(mutex);
    ++held;
    changed.notify_all();
    return changed.wait_for(lock, limit, [&] { return held >= count || gone; }) && !gone;
  }
  bool arrived(int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return held >= count; });
  }

  httplib::Server http;
  std::thread thread;
  int port = 0, held = 0;
  bool gone = false;
  std::mutex mutex;
  std::condition_variable changed;
};

struct Outcome {
  HttpResponse response;
  std::thread::id thread;
  std::optional<fs::path> file;
  std::optional<std::string> contents;
  fs::perms mode = fs::perms::none;
};

// A data task, or a download whose file is read (and moved to `keep`) inside its completion.
std::future<Outcome> start(CurlHttpClient& client, HttpRequest request, bool download = false,
                           std::optional<fs::path> keep = {}) {
  auto done = std::make_shared<std::promise<Outcome>>();
  auto finish = [done, keep](const HttpResponse& response, const std::optional<fs::path>& file) {
    Outcome outcome{response, std::this_thread::get_id(), file};
    if (file && fs::exists(*file)) {
      outcome.contents = readFile(*file);
      outcome.mode = fs::status(*file).permissions() & fs::perms::all;
      if (keep) {
        fs::rename(*file, *keep);
      }
    }
    done->set_value(outcome);
  };
  if (download) {
    client.downloadTask(std::move(request), finish);
  } else {
    client.dataTask(std::move(request), [finish](auto& response) { finish(response, {}); });
  }
  return done->get_future();
}

Outcome await(std::future<Outcome> future) {
  if (future.wait_for(20s) != std::future_status::ready) {
    ADD_FAILURE() << "no completion within 20 s";
    return {};
  }
  return future.get();
}

Outcome fetch(CurlHttpClient& client, HttpRequest request) {
  return await(start(client, std::move(request)));
}

// A failure carries its sentence and nothing of an answer.
void expectFailure(const Outcome& outcome, const std::string& sentence) {
  EXPECT_EQ(outcome.response.transportError, sentence);
  EXPECT_FALSE(outcome.response.status);
  EXPECT_FALSE(outcome.response.body);
  EXPECT_TRUE(outcome.response.headers.empty());
}

class CurlClient : public testing::Test {
 protected:
  Server server;
  CurlHttpClient client;
};

TEST_F(CurlClient, GivesTheAnswerAndTheAccountOwningTheSocketThatAnswered) {
  server.http.Get("/hello", [](auto&, httplib::Response& response) {
    response.status = 201;
    response.set_header("Server", "TarnwickDesktop/2.0.1");
    response.set_content("hello\n", "text/plain");
  });
  server.http.Get("/empty", [](auto&, httplib::Response& response) { response.status = 204; });
  server.http.Get("/start", [](auto&, auto& response) { response.set_redirect("/hello", 302); });
  server.http.Get("/loop", [](auto&, auto& response) { response.set_redirect("/loop", 302); });
  server.http.Get("/file", [](auto&, auto& response) { response.set_redirect("file:///etc/hostname"); });
  ASSERT_TRUE(server.start());
  for (const char* path : {"/hello", "/start"}) {
    auto outcome = fetch(client, server.get(path));
    EXPECT_EQ(outcome.response.status, 201) << path;
    EXPECT_EQ(outcome.response.header("server"), "TarnwickDesktop/2.0.1") << path;
    EXPECT_EQ(outcome.response.header("CONTENT-TYPE"), "text/plain") << path;
    EXPECT_EQ(outcome.response.body, "hello\n") << path;
    EXPECT_FALSE(outcome.response.transportError) << path;
    EXPECT_EQ(outcome.response.peerAccount, ::getuid()) << path;
  }
  for (auto [path, status] : {std::pair{"/empty", 204}, std::pair{"/nowhere", 404}}) {
    auto outcome = fetch(client, server.get(path));
    EXPECT_EQ(outcome.response.status, status) << path;
    EXPECT_EQ(outcome.response.body, "") << path << ": an answer has a body, if empty";
  }
  expectFailure(fetch(client, server.get("/loop")), "There were too many redirects.");
  expectFailure(fetch(client, server.get("/file")), "The URL is not supported.");
  expectFailure(fetch(client, {.url = "file:///etc/hostname"}), "The URL is not supported.");
  LoopbackPort refusing;
  refusing.close();
  expectFailure(fetch(client, {.url = refusing.url()}), "Could not connect to the server.");
}

// Another account's look-alike Connector on loopback: the answer names that account, not ours.
TEST_F(CurlClient, NamesTheAccountOfAListenerThatIsNotOurs) {
  if (::getuid() != 0) {
    GTEST_SKIP() << "switching to nobody needs root";
  }
  TemporaryFolder folder;
  Process lookAlike("/usr/bin/python3",
                    {"-c",
                     "import socket\ns = socket.socket()\ns.bind(('127.0.0.1', 0))\ns.listen(1)\n"
                     "print(s.getsockname()[1], flush=True)\nc = s.accept()[0]\nc.recv(4096)\n"
                     "c.sendall(b'HTTP/1.1 200 OK\\r\\nServer: TarnwickDesktop/2.0.1\\r\\n"
                     "Content-Length: 0\\r\\nConnection: close\\r\\n\\r\\n')\n"},
                    {.stdoutFile = folder.path() / "port", .user = 65534});
  auto port = lookAlike.firstLine(folder.path() / "port");
  ASSERT_FALSE(port.empty());
  auto outcome = fetch(client, {.url = "http://127.0.0.1:" + port + "/"});
  EXPECT_EQ(outcome.response.status, 200);
  EXPECT_EQ(outcome.response.peerAccount, 65534u);
}

TEST_F(CurlClient, SendsExactlyTheCallersHeadersAndRefusesThoseThatWouldBreakTheRequest) {
  std::vector<httplib::Request> seen;
  auto record = [&](const httplib::Request& request, httplib::Response& response) {
    seen.push_back(request);  // one connection at a time: the client waits for each answer
    response.set_content("ok", "text/plain");
  };
  server.http.Get("/", record);
  server.http.Post("/", record);
  ASSERT_TRUE(server.start());
  using Headers = std::multimap<std::string, std::string>;
  const std::string host = "127.0.0.1:" + std::to_string(server.port);
  const std::string large(1536 * 1024, 'x');  // past the size at which curl would ask to continue
  struct Case {
    std::string method;
    platform::HeaderList headers;
    std::string body;
    Headers expected;  // empty: refused before anything is sent
  } cases[] = {
      {"GET", {}, "", {{"Host", host}}},
      {"GET", {{"Accept", "application/json"}}, "", {{"Host", host}, {"Accept", "application/json"}}},
      {"POST",
       {{"Content-Type", "application/json"}, {"X-Tarnwick-CSRF", "abc"}},
       "{}",
       {{"Host", host}, {"Content-Type", "application/json"}, {"X-Tarnwick-CSRF", "abc"},
        {"Content-Length", "2"}}},
      {"POST", {}, large, {{"Host", host}, {"Content-Length", std::to_string(large.size())}}},
      {"GET", {{"X-Tarnwick-CSRF", "a\r\nX-Injected: 1"}}, "", {}},
      {"GET", {{"X-Token", std::string("a\0b", 3)}}, "", {}},
      {"GET", {{"X-Token", "a\nb"}}, "", {}},
      {"GET", {{"Bad Name", "x"}}, "", {}},
      {"GET", {{"X-A:B", "x"}}, "", {}},
      {"GET", {{"", "x"}}, "", {}},
      {"GET / HTTP/1.1\r\nX:", {}, "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + testing::PrintToString(c.headers).substr(0, 80));
    seen.clear();
    auto request = server.get("/");
    request.method = c.method;
    request.headers = c.headers;
    request.body = c.body;
    auto outcome = fetch(client, request);
    if (c.expected.empty()) {
      EXPECT_TRUE(outcome.response.transportError);
      EXPECT_TRUE(seen.empty()) << "nothing may reach the server";
      continue;
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, c.method);
    EXPECT_EQ(seen[0].body, c.body);
    Headers sent;
    for (const auto& [name, value] : seen[0].headers) {
      if (!name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) {  // the server's own
        sent.emplace(name, value);
      }
    }
    EXPECT_EQ(sent, c.expected);
  }
}

TEST_F(CurlClient, TimesOutLimitsTheBodyAndRunsSideBySideOnOneThreadOfItsOwn) {
  server.http.Get("/slow", [&](auto&, auto&) { server.gather(1000, 10s); });
  server.http.Get("/sized", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(std::string(std::stoul(request.get_param_value("n")), 'z'), "text/plain");
  });
  // Held until all four have arrived: one at a time, none would ever finish.
  server.http.Get("/four", [&](auto&, auto& response) {
    response.status = server.gather(4, 8s) ? 200 : 500;
  });
  ASSERT_TRUE(server.start());
  // A completion that throws leaves the worker serving.
  client.dataTask(server.get("/sized?n=1"), [](auto&) { throw std::runtime_error("careless"); });
  std::vector<std::future<Outcome>> pending;
  for (int index = 0; index < 4; ++index) {
    pending.push_back(start(client, server.get("/four")));
  }
  std::set<std::thread::id> threads;
  for (auto& each : pending) {
    auto outcome = await(std::move(each));
    EXPECT_EQ(outcome.response.status, 200);
    threads.insert(outcome.thread);
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_FALSE(threads.contains(std::this_thread::get_id()));

  auto began = Clock::now();
  expectFailure(fetch(client, server.get("/slow", 0.3)), "The request timed out.");
  EXPECT_LT(Clock::now() - began, 5s);
  CurlHttpClient limited(CurlHttpClient::Limits{.maximumBodyBytes = 1000});
  EXPECT_EQ(fetch(limited, server.get("/sized?n=1000")).response.body, std::string(1000, 'z'));
  expectFailure(fetch(limited, server.get("/sized?n=1001")), "The response was too large.");
}

TEST_F(CurlClient, ADownloadedFileIsPrivateAndLivesOnlyUntilItsCompletionReturns) {
  std::string payload;
  for (int index = 0; index < 300000; ++index) {
    payload.push_back(static_cast<char>(index * 7 % 256));
  }
  server.http.Get("/image", [&](auto&, auto& response) {
    response.set_content(payload, "application/octet-stream");
  });
  ASSERT_TRUE(server.start());
  auto outcome = await(start(client, server.get("/image"), true));
  EXPECT_EQ(outcome.response.status, 200);
  ASSERT_TRUE(outcome.file);
  EXPECT_EQ(outcome.contents, payload);
  EXPECT_EQ(outcome.mode, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(*outcome.file); }, 5s));
  TemporaryFolder kept;
  await(start(client, server.get("/image"), true, kept.path() / "kept.dmg"));
  EXPECT_EQ(readFile(kept.path() / "kept.dmg"), payload);
  LoopbackPort refusing;
  refusing.close();
  auto failed = await(start(client, {.url = refusing.url()}, true));
  EXPECT_EQ(failed.response.transportError, "Could not connect to the server.");
  EXPECT_FALSE(failed.file);
}

TEST_F(CurlClient, DestroyingTheClientAbandonsOpenRequestsPromptly) {
  server.http.Get("/hang", [&](auto&, auto&) { server.gather(1000, 20s); });
  ASSERT_TRUE(server.start());
  std::atomic<bool> completed = false;
  auto began = Clock::now();
  {
    CurlHttpClient doomed;
    doomed.dataTask(server.get("/hang", 30), [&](auto&) { completed = true; });
    ASSERT_TRUE(server.arrived(1));
  }
  EXPECT_LT(Clock::now() - began, 8s);
  EXPECT_FALSE(completed.load());
}

}  // namespace
}  // namespace tarnwick::integration
