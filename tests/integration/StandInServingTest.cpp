// The stand-in Connector as a process: what the shell relies on from a Connector.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "Files.h"
#include "Processes.h"

namespace tarnwick::integration {

using namespace testsupport;
namespace {

const std::string executable = TARNWICK_CONNECTOR_EXECUTABLE;

httplib::Client connector(int port = 8766) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(2, 0);
  client.set_read_timeout(5, 0);
  return client;
}

bool answers(int port = 8766) {
  return static_cast<bool>(connector(port).Get("/"));
}

class Serving {
 public:
  explicit Serving(std::vector<std::string> arguments) : process_(executable, arguments, {}) {}
  bool ready() {
    return waitUntil([&] { return process_.running() && answers(); }, 20s);
  }
  Process& process() { return process_; }

 private:
  Process process_;
};

std::string csrfToken(const std::string& page) {
  std::smatch match;
  static const std::regex meta(R"re(<meta name="tarnwick-desktop-csrf" content="([0-9a-f]+)">)re");
  return std::regex_search(page, match, meta) ? match[1].str() : "";
}

TEST(StandInServing, NamesItsVersionOnEveryAnswer) {
  ASSERT_FALSE(answers()) << "something already listens on 127.0.0.1:8766";
  Serving serving({"run", "--no-browser", "--version", "4.5.6"});
  ASSERT_TRUE(serving.ready());
  auto client = connector();
  for (const auto& [method, path] :
       std::vector<std::pair<std::string, std::string>>{{"GET", "/"},
                                                        {"GET", "/support"},
                                                        {"GET", "/no/such/page"},
                                                        {"POST", "/api/client-check"}}) {
    SCOPED_TRACE(method + " " + path);
    auto result = method == "GET" ? client.Get(path) : client.Post(path, "{}", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->get_header_value("Server"), "TarnwickDesktop/4.5.6");
  }
  EXPECT_EQ(client.Get("/")->status, 200);
}

TEST(StandInServing, TakesItsVersionFromTheEnvironmentOrTheBuild) {
  ASSERT_FALSE(answers()) << "something already listens on 127.0.0.1:8766";
  {
    Serving serving({});
    ASSERT_TRUE(serving.ready());
    EXPECT_EQ(connector().Get("/")->get_header_value("Server"),
              std::string("TarnwickDesktop/") + TARNWICK_PROJECT_VERSION);
  }
  ASSERT_TRUE(waitUntil([] { return !answers(); }, 5s));
  setenv("TARNWICK_CONNECTOR_VERSION", "0.0.7", 1);
  Serving serving({"run"});
  unsetenv("TARNWICK_CONNECTOR_VERSION");
  ASSERT_TRUE(serving.ready());
  EXPECT_EQ(connector().Get("/")->get_header_value("Server"), "TarnwickDesktop/0.0.7");
}

TEST(StandInServing, StopsPromptlyOnSigterm) {
  ASSERT_FALSE(answers()) << "something already listens on 127.0.0.1:8766";
  Serving serving({"run", "--no-browser"});
  ASSERT_TRUE(serving.ready());
  // An open keep-alive connection does not hold it up.
  auto client = connector();
  client.set_keep_alive(true);
  ASSERT_TRUE(client.Get("/"));
  auto started = Clock::now();
  serving.process().signal(SIGTERM);
  EXPECT_EQ(serving.process().wait(3s), 0);
  EXPECT_LT(Clock::now() - started, 2s);
  EXPECT_FALSE(answers());
}

TEST(StandInServing, RefusesAPortAnotherListenerHolds) {
  ASSERT_FALSE(answers()) << "something already listens on 127.0.0.1:8766";
  Serving first({"--version", "1"});
  ASSERT_TRUE(first.ready());
  Process second(executable, {"--version", "2"}, {});
  EXPECT_EQ(second.wait(10s), 1);
  EXPECT_EQ(connector().Get("/")->get_header_value("Server"), "TarnwickDesktop/1");
}

TEST(StandInServing, AnswersTheClientCheckOnlyWithThePagesToken) {
  ASSERT_FALSE(answers()) << "something already listens on 127.0.0.1:8766";
  Serving serving({"--interface-version", "9.9.9", "--client-source", "channel"});
  ASSERT_TRUE(serving.ready());
  auto client = connector();
  auto root = client.Get("/");
  ASSERT_TRUE(root);
  auto token = csrfToken(root->body);
  ASSERT_EQ(token.size(), 32U);
  EXPECT_NE(root->body.find(R"(<meta name="tarnwick-client-version" content="9.9.9">)"),
            std::string::npos);

  EXPECT_EQ(client.Post("/api/client-check", "{}", "application/json")->status, 403);
  EXPECT_EQ(
      client
          .Post("/api/client-check", {{"X-Tarnwick-CSRF", token + "0"}}, "{}", "application/json")
          ->status,
      403);
  auto answer =
      client.Post("/api/client-check", {{"X-Tarnwick-CSRF", token}}, "{}", "application/json");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  auto check = nlohmann::json::parse(answer->body, nullptr, false);
  ASSERT_TRUE(check.is_object());
  EXPECT_EQ(check["client_version"], "9.9.9");
  EXPECT_EQ(check["client_source"], "channel");
  EXPECT_TRUE(check["client_installed_at"].is_string());
  EXPECT_TRUE(check.contains("last_result"));
  EXPECT_TRUE(check.contains("last_error"));

  // A test may make the check fail, or answer with text that is not JSON, and set it back.
  auto ask = [&] {
    return client.Post("/api/client-check", {{"X-Tarnwick-CSRF", token}}, "{}", "application/json");
  };
  ASSERT_EQ(
      client.Post("/test/client-check-raw?status=500", "Internal error", "text/plain")->status,
      204);
  EXPECT_EQ(ask()->status, 500);
  EXPECT_EQ(ask()->body, "Internal error");
  ASSERT_EQ(client.Post("/test/client-check", R"({"last_result":"installed"})", "application/json")
                ->status,
            204);
  EXPECT_EQ(ask()->status, 200);
  EXPECT_EQ(ask()->body, R"({"last_result":"installed"})");

  // A new start has a new token.
  serving.process().signal(SIGTERM);
  ASSERT_TRUE(serving.process().wait(3s));
  Serving again({});
  ASSERT_TRUE(again.ready());
  EXPECT_NE(csrfToken(connector().Get("/")->body), token);
}

TEST(StandInServing, ServesTheSamePagesOnAnExtraPort) {
  ASSERT_FALSE(answers()) << "something already listens on 127.0.0.1:8766";
  Serving serving({"--extra-port", "8767"});
  ASSERT_TRUE(serving.ready());
  auto other = connector(8767).Get("/support?server=a&code=b&completion_url=c&completion_token=d");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 200);
  EXPECT_NE(other->body.find(R"(<dd id="completion_token">d</dd>)"), std::string::npos);
  // One log for both origins.
  ASSERT_EQ(connector(8767).Post("/test/log", R"({"event":"x"})", "application/json")->status, 204);
  auto log = nlohmann::json::parse(connector().Get("/test/log")->body);
  ASSERT_EQ(log.size(), 1U);
  EXPECT_EQ(log[0]["port"], 8767);
}

}  // namespace
}  // namespace tarnwick::integration
