// The HTTP client on libcurl against loopback servers of the test's own.
#include <httplib.h>

#include <future>
#include <set>

#include "Integration.h"
#include "platform/linux/net/CurlHttpClient.h"

namespace tarnwick::integration {

using platform::HttpRequest;
using platform::HttpResponse;
using platform::linux_desktop::CurlHttpClient;
const std::string refused = "http://127.0.0.1:1/";  // nothing listens on a privileged port here

struct Outcome {
  HttpResponse response;
  std::thread::id thread;
  std::optional<fs::path> file;
  std::string contents;
  fs::perms mode = fs::perms::none;
};

class CurlClient : public testing::Test {
 protected:
  ~CurlClient() override {
    held.set_value();
    http.stop();
    server.join();
  }
  // A request to `path` on the server, started once every handler is in place.
  HttpRequest get(const std::string& path, double timeout = 10) {
    if (!server.joinable()) {
      port = http.bind_to_any_port("127.0.0.1");
      server = std::thread([this] { http.listen_after_bind(); });
      EXPECT_TRUE(waitUntil([this] { return http.is_running(); }, 10s));
    }
    return {.url = "http://127.0.0.1:" + std::to_string(port) + path,
            .timeout = platform::Seconds(timeout)};
  }
  // A data task, or a download whose file is read (and moved to `keep`) inside its completion.
  std::future<Outcome> start(HttpRequest request, bool download = false, fs::path keep = {}) {
    auto done = std::make_shared<std::promise<Outcome>>();
    auto finish = [done, keep](const HttpResponse& response, const std::optional<fs::path>& file) {
      Outcome outcome{response, std::this_thread::get_id(), file};
      if (file && fs::exists(*file)) {
        outcome.contents = readFile(*file);
        outcome.mode = fs::status(*file).permissions();
        keep.empty() || (fs::rename(*file, keep), true);
      }
      done->set_value(outcome);
    };
    download ? client->downloadTask(std::move(request), finish)
             : client->dataTask(std::move(request), [finish](auto& answer) { finish(answer, {}); });
    return done->get_future();
  }
  // Status, Server, type, body and the socket's owner; or the failure's sentence alone.
  std::string fetch(HttpRequest request) {
    auto r = start(std::move(request)).get().response;
    if (r.transportError) {
      return *r.transportError + (r.status || r.body || !r.headers.empty() ? " and more" : "");
    }
    return std::to_string(r.status.value_or(0)) + " " + r.header("server").value_or("-") + " " +
           r.header("CONTENT-TYPE").value_or("-") + " " + r.body.value_or("(none)") + " " +
           (r.peerAccount ? std::to_string(*r.peerAccount) : "nobody");
  }

  httplib::Server http;
  std::thread server;
  int port = 0;
  std::promise<void> held;  // handlers that hold wait for this
  std::shared_future<void> release = held.get_future().share();
  std::unique_ptr<CurlHttpClient> client = std::make_unique<CurlHttpClient>();
};

TEST_F(CurlClient, GivesTheAnswerWithTheAccountOwningTheSocketThatAnsweredOrASentence) {
  http.Get("/hello", [](auto&, httplib::Response& response) {
    response.status = 201;
    response.set_header("Server", "TarnwickDesktop/2.0.1");
    response.set_content("hello", "text/plain");
  });
  http.Get("/empty", [](auto&, httplib::Response& response) { response.status = 204; });
  http.Get("/start", [](auto&, auto& response) { response.set_redirect("/hello"); });
  http.Get("/loop", [](auto&, auto& response) { response.set_redirect("/loop"); });
  http.Get("/file", [](auto&, auto& response) { response.set_redirect("file:///etc/hostname"); });
  std::atomic<bool> arrived = false, completed = false;
  http.Get("/slow", [&](auto&, auto&) { arrived = true, release.wait_for(20s); });
  http.Get("/sized", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(std::string(std::stoul(request.get_param_value("n")), 'z'), "text/plain");
  });
  const std::string mine = " " + std::to_string(::getuid());
  const std::pair<HttpRequest, std::string> cases[] = {
      {get("/hello"), "201 TarnwickDesktop/2.0.1 text/plain hello" + mine},
      {get("/start"), "201 TarnwickDesktop/2.0.1 text/plain hello" + mine},
      {get("/empty"), "204 - - " + mine},  // an answer has a body, if empty
      {get("/loop"), "There were too many redirects."},
      {get("/file"), "The URL is not supported."},
      {{.url = "file:///etc/hostname"}, "The URL is not supported."},
      {{.url = refused}, "Could not connect to the server."},
      {get("/slow", 0.3), "The request timed out."}};
  auto began = Clock::now();
  for (const auto& [request, expected] : cases) {
    EXPECT_EQ(fetch(request), expected) << request.url;
  }
  EXPECT_LT(Clock::now() - began, 5s);
  client = std::make_unique<CurlHttpClient>(CurlHttpClient::Limits{.maximumBodyBytes = 1000});
  EXPECT_EQ(fetch(get("/sized?n=1000")), "200 - text/plain " + std::string(1000, 'z') + mine);
  EXPECT_EQ(fetch(get("/sized?n=1001")), "The response was too large.");
  // Destroying the client abandons an open request promptly, without completing it.
  arrived = false;
  client->dataTask(get("/slow", 30), [&](auto&) { completed = true; });
  ASSERT_TRUE(waitUntil([&] { return arrived.load(); }, 10s));
  began = Clock::now();
  client.reset();
  EXPECT_TRUE(Clock::now() - began < 8s && !completed);
}

TEST_F(CurlClient, SendsExactlyTheCallersHeadersAndRefusesThoseThatWouldBreakTheRequest) {
  std::vector<httplib::Request> seen;  // one at a time: the client waits for each answer
  auto record = [&](const httplib::Request& request, auto&) { seen.push_back(request); };
  http.Get("/", record);
  http.Post("/", record);
  const auto url = get("/").url;
  const std::string large(1536 * 1024, 'x');  // past the size at which curl would ask to continue
  using Headers = std::multimap<std::string, std::string>;
  // Whether it is sent: as it is, with Host and, with a body, its length; else refused unsent.
  const std::tuple<std::string, platform::HeaderList, std::string, bool> cases[] = {
      {"GET", {{"Accept", "application/json"}}, "", true},
      {"POST", {{"Content-Type", "application/json"}, {"X-Tarnwick-CSRF", "abc"}}, "{}", true},
      {"POST", {}, large, true},
      {"GET", {{"X-Tarnwick-CSRF", "a\r\nX-Injected: 1"}}, "", false},
      {"GET", {{"X", std::string("a\0b", 3)}}, "", false},
      {"GET", {{"X-Token", "a\nb"}}, "", false},
      {"GET", {{"Bad Name", "x"}}, "", false},
      {"GET", {{"X-A:B", "x"}}, "", false},
      {"GET", {{"", "x"}}, "", false},
      {"GET / HTTP/1.1\r\nX:", {}, "", false}};
  for (const auto& [method, headers, body, sent] : cases) {
    seen.clear();
    auto said = fetch({.method = method, .url = url, .headers = headers, .body = body});
    if (!sent) {
      EXPECT_TRUE(said.starts_with("The request ") && seen.empty()) << said;
      continue;
    }
    ASSERT_EQ(seen.size(), 1u);
    Headers got(seen[0].headers.begin(), seen[0].headers.end()),
        expected(headers.begin(), headers.end());
    std::erase_if(got, [](auto& h) { return h.first.find('_') != std::string::npos; });
    expected.emplace("Host", url.substr(7, url.size() - 8));
    body.empty() || (expected.emplace("Content-Length", std::to_string(body.size())), true);
    EXPECT_EQ(std::tie(seen[0].method, seen[0].body, got), std::tie(method, body, expected));
  }
}

TEST_F(CurlClient, RunsRequestsSideBySideOnAThreadOfItsOwnAndKeepsDownloadsPrivateAndBrief) {
  std::atomic<int> arrived = 0;
  // Each held until all four have arrived: one at a time, none would ever finish.
  http.Get("/four", [&](auto&, auto& response) {
    ++arrived;
    response.status = waitUntil([&] { return arrived == 4; }, 8s) ? 200 : 500;
  });
  std::string payload(300000, '\0');
  std::ranges::generate(payload, [n = 0]() mutable { return static_cast<char>(n++ * 7 % 256); });
  http.Get("/image", [&](auto&, auto& response) { response.set_content(payload, "image/x"); });
  client->dataTask(get("/four"), [](auto&) { throw std::runtime_error("a careless completion"); });
  std::future<Outcome> pending[] = {start(get("/four")), start(get("/four")), start(get("/four"))};
  std::set<std::thread::id> threads;
  for (auto& each : pending) {
    auto outcome = each.get();
    EXPECT_EQ(outcome.response.status, 200);
    threads.insert(outcome.thread);
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_FALSE(threads.contains(std::this_thread::get_id()));

  auto outcome = start(get("/image"), true).get();
  ASSERT_TRUE(outcome.file);
  EXPECT_EQ(outcome.contents, payload);
  EXPECT_EQ(outcome.mode, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(*outcome.file); }, 5s));
  TemporaryFolder kept;
  start(get("/image"), true, kept.path() / "kept.dmg").get();
  EXPECT_EQ(readFile(kept.path() / "kept.dmg"), payload) << "moved away, it is the caller's";
  auto failed = start({.url = refused}, true).get();
  EXPECT_TRUE(failed.response.transportError && !failed.file);
}

}  // namespace tarnwick::integration
