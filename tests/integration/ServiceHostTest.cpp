// The stand-in service host over real HTTPS on loopback, with a certificate authority made for the
// run, and its answers read by the shell's own redemption rules.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Processes.h"
#include "links/Redemption.h"
#include "update/ReleaseManifest.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::testsupport;

const std::string suffix = " Ask your Tarnwick for a new setup link.";
const std::string defaultMessage = "The setup link could not be prepared.";

class ServiceHost : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch.emplace("tarnwick-service");
    folder = scratch->path();
    ASSERT_EQ(runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, folder.string()}).status, 0);
    ASSERT_TRUE(fs::exists(folder / "ca.crt"));
    // A second authority that never signed the server's certificate.
    ASSERT_EQ(runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, (folder / "other").string()}).status,
              0);

    Process::Options options;
    options.stdoutFile = folder / "server.out";
    options.environment["TARNWICK_SERVICE_MANIFEST_MODE"] = (folder / "manifest-mode").string();
    options.environment["TARNWICK_SERVICE_MANIFEST_REQUESTS"] =
        (folder / "manifest-requests.jsonl").string();
    server.emplace(TARNWICK_SERVICE_HOST,
                   std::vector<std::string>{"--cert", (folder / "server.crt").string(), "--key",
                                            (folder / "server.key").string(), "--log",
                                            (folder / "requests.log").string()},
                   options);
    ASSERT_TRUE(server->started());
    std::string line;
    waitUntil(
        [&] {
          line = readFile(folder / "server.out");
          return line.find('\n') != std::string::npos || !server->running();
        },
        10s);
    ASSERT_EQ(line.rfind("listening on ", 0), 0u) << line;
    port = std::stoi(line.substr(13));
  }

  static void TearDownTestSuite() {
    server.reset();
    scratch.reset();
  }

  // A client that reaches the service host by its name on loopback and trusts only the test CA.
  static std::unique_ptr<httplib::SSLClient> client(const std::string& name = "tarnwick.com",
                                                    bool trustTheTestCA = true) {
    auto result = std::make_unique<httplib::SSLClient>(name, port);
    result->set_hostname_addr_map({{name, "127.0.0.1"}});
    result->enable_server_certificate_verification(true);
    auto authority = trustTheTestCA ? folder / "ca.crt" : folder / "other" / "ca.crt";
    result->set_ca_cert_path(authority.c_str());
    result->set_connection_timeout(5);
    result->set_read_timeout(10);
    return result;
  }

  static httplib::Result redeem(const std::string& installCode, const std::string& body = "{}",
                                const std::string& contentType = "application/json") {
    auto cli = client();
    return cli->Post(("/support/install/" + installCode + "/pair").c_str(), body,
                     contentType.c_str());
  }

  // The answer as the shell's redemption reads it.
  static tarnwick::links::RedemptionOutcome outcome(const httplib::Result& result) {
    tarnwick::platform::HttpResponse response;
    if (result) {
      response.status = result->status;
      response.body = result->body;
    } else {
      response.transportError = httplib::to_string(result.error());
    }
    return tarnwick::links::redemptionOutcome(response);
  }

  static inline std::optional<TemporaryFolder> scratch;
  static inline fs::path folder;
  static inline std::optional<Process> server;
  static inline int port = 0;
};

TEST_F(ServiceHost, AnswersEachModeAsTheShellExpects) {
  struct Case {
    std::string installCode;
    int status;
    std::string message;  // empty: the shell opens a pairing page
  };
  const std::vector<Case> cases = {
      {"ok-1", 200, ""},
      {"ok-lower-1", 200, ""},
      {"ok-error-1", 200, ""},
      {"error-1", 410, "This setup link has expired."},
      {"error-empty-1", 404, defaultMessage},
      {"server-error-1", 500, "The setup service is busy. Try again in a minute."},
      {"empty-1", 200, defaultMessage},
      {"empty-4xx-1", 400, defaultMessage},
      {"not-json-1", 200, defaultMessage},
      {"not-object-1", 200, defaultMessage},
      {"wrong-types-1", 200, defaultMessage},
      {"refused-1", 200, defaultMessage},
      {"Unknown_9", 404, "This setup link is not known."},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.installCode);
    auto result = redeem(testCase.installCode);
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, testCase.status);
    auto read = outcome(result);
    if (testCase.message.empty()) {
      ASSERT_TRUE(read.pairingURL);
      EXPECT_NE(read.pairingURL->find("code=TWCK2345"), std::string::npos) << *read.pairingURL;
      EXPECT_NE(read.pairingURL->find("completion_token=t%26k%2B"), std::string::npos);
    } else {
      EXPECT_EQ(read,
                (tarnwick::links::RedemptionOutcome{std::nullopt, testCase.message + suffix}));
    }
  }
}

TEST_F(ServiceHost, OkAnswersCarryAnErrorMemberOnlyWhenAskedTo) {
  auto plain = nlohmann::json::parse(redeem("ok-2")->body);
  EXPECT_FALSE(plain.contains("error"));
  auto withError = nlohmann::json::parse(redeem("ok-error-2")->body);
  EXPECT_EQ(withError.at("error"), "This sentence must not be shown.");
}

TEST_F(ServiceHost, ASlowAnswerTakesAsLongAsItsCodeSays) {
  auto started = std::chrono::steady_clock::now();
  auto result = redeem("slow-2-a");
  auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_GE(elapsed, std::chrono::seconds(2));
  EXPECT_TRUE(outcome(result).pairingURL);

  auto impatient = client();
  impatient->set_read_timeout(1);
  auto timedOut = impatient->Post("/support/install/slow-3/pair", "{}", "application/json");
  EXPECT_FALSE(timedOut);
}

TEST_F(ServiceHost, HoldsTheClientToTheRedemptionContract) {
  auto notJson = redeem("ok-3", "{}", "text/plain");
  ASSERT_TRUE(notJson);
  EXPECT_EQ(notJson->status, 400);
  auto notEmpty = redeem("ok-3", R"({"a":1})");
  ASSERT_TRUE(notEmpty);
  EXPECT_EQ(notEmpty->status, 400);

  auto cli = client();
  auto get = cli->Get("/support/install/ok-3/pair");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 405);
  auto otherPath = cli->Post("/support/install/ok-3/pair/", "{}", "application/json");
  ASSERT_TRUE(otherPath);
  EXPECT_EQ(otherPath->status, 404);
}

TEST_F(ServiceHost, IsTrustedOnlyThroughTheTestCAAndOnlyUnderItsName) {
  auto trusted = client()->Post("/support/install/ok-4/pair", "{}", "application/json");
  EXPECT_TRUE(trusted);
  auto untrusted =
      client("tarnwick.com", false)->Post("/support/install/ok-4/pair", "{}", "application/json");
  ASSERT_FALSE(untrusted);
  EXPECT_EQ(untrusted.error(), httplib::Error::SSLServerVerification);
  auto otherName =
      client("other.example")->Post("/support/install/ok-4/pair", "{}", "application/json");
  ASSERT_FALSE(otherName);
  EXPECT_EQ(otherName.error(), httplib::Error::SSLServerVerification);
}

TEST_F(ServiceHost, LogsEachRequest) {
  ASSERT_TRUE(redeem("ok-log-5"));
  std::ifstream log(folder / "requests.log");
  std::string line;
  bool found = false;
  while (std::getline(log, line)) {
    auto entry = nlohmann::json::parse(line);
    if (entry.at("target") == "/support/install/ok-log-5/pair") {
      found = true;
      EXPECT_EQ(entry.at("method"), "POST");
      EXPECT_EQ(entry.at("content_type"), "application/json");
      EXPECT_EQ(entry.at("body"), "{}");
    }
  }
  EXPECT_TRUE(found);
}

// The release manifest in each mode, judged by the shell's own decoder and trust rules.
TEST_F(ServiceHost, ServesTheReleaseManifestInTheModeTheTestWrites) {
  struct Case {
    const char* mode;
    int status;
    std::optional<std::string> version;  // of a manifest the shell would accept
  };
  for (const auto& test : std::vector<Case>{{"newer", 200, "99.0.0"},
                                            {"version-1.0.0", 200, "1.0.0"},
                                            {"older", 200, "0.0.1"},
                                            {"build-zero", 200, std::nullopt},
                                            {"other-host", 200, std::nullopt},
                                            {"no-content", 204, std::nullopt},
                                            {"not-modified", 304, std::nullopt},
                                            {"server-error", 500, "99.0.0"},
                                            {"not-json", 200, std::nullopt},
                                            {"slow-1", 200, "99.0.0"}}) {
    writeFile(folder / "manifest-mode", std::string(test.mode) + "\n");
    auto answer = client()->Get("/support/mac/latest.json",
                                {{"Cache-Control", "no-cache"}, {"User-Agent", "Probe/1"}});
    ASSERT_TRUE(answer) << test.mode;
    EXPECT_EQ(answer->status, test.status) << test.mode;
    auto release = tarnwick::update::decodeRelease(answer->body);
    std::optional<std::string> accepted;
    if (release && release->build > 0 && tarnwick::update::trustedDownloadURL(*release)) {
      accepted = release->version;
    }
    EXPECT_EQ(accepted, test.version) << test.mode << ": " << answer->body;
  }
  EXPECT_EQ(client()->Post("/support/mac/latest.json", "{}", "application/json")->status, 405);
  auto requests = readFile(folder / "manifest-requests.jsonl");
  auto last = requests.substr(requests.rfind('\n', requests.size() - 2) + 1);
  auto record = nlohmann::json::parse(last, nullptr, false);
  EXPECT_EQ(record.value("method", ""), "POST");
  auto first = nlohmann::json::parse(requests.substr(0, requests.find('\n')), nullptr, false);
  EXPECT_EQ(first["headers"].value("Cache-Control", ""), "no-cache") << requests;
  EXPECT_EQ(first["headers"].value("User-Agent", ""), "Probe/1") << requests;
}

}  // namespace
