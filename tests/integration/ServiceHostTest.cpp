// The stand-in service host the end-to-end tests run, over real HTTPS with a certificate authority
// made for the run, its answers read by the shell's own rules.
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "Integration.h"
#include "links/Redemption.h"
#include "update/ReleaseManifest.h"

namespace tarnwick::integration {
namespace {

using Json = nlohmann::json;

class ServiceHost : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& authority : {dir, dir / "other"}) {  // the other never signed the server's
      ASSERT_EQ(runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, authority}).status, 0);
    }
    writeFile(dir / "Tarnwick.dmg", image);
    port = start({"--log", dir / "requests.log"});
  }
  // A host with the test's certificate and `extra` options; its port, or 0 when it did not start.
  static int start(std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"--cert", dir / "server.crt", "--key", dir / "server.key"});
    hosts.emplace_back(std::make_unique<Process>(
        TARNWICK_SERVICE_HOST, extra,
        Process::Options{
            .environment = {{"TARNWICK_SERVICE_MANIFEST_MODE", dir / "manifest-mode"},
                            {"TARNWICK_SERVICE_MANIFEST_REQUESTS", dir / "manifest.jsonl"}},
            .stdoutFile = dir / "out"}));
    auto line = hosts.back()->firstLine(dir / "out");
    return line.starts_with("listening on ") ? std::stoi(line.substr(13)) : 0;
  }
  // A client that reaches the host by `name` on loopback and trusts only `authority`.
  static std::unique_ptr<httplib::SSLClient> client(int at = port,
                                                    const std::string& name = "tarnwick.com",
                                                    const fs::path& authority = dir / "ca.crt") {
    auto result = std::make_unique<httplib::SSLClient>(name, at);
    result->set_hostname_addr_map({{name, "127.0.0.1"}});
    result->enable_server_certificate_verification(true);
    result->set_ca_cert_path(authority.c_str());
    result->set_read_timeout(20);
    return result;
  }
  static httplib::Result redeem(const std::string& code, const std::string& body = "{}",
                                const char* type = "application/json") {
    return client()->Post("/support/install/" + code + "/pair", body, type);
  }

  static inline TemporaryFolder scratch{"tarnwick-service"};
  static inline fs::path dir = scratch.path();
  static inline std::vector<std::unique_ptr<Process>> hosts;
  static inline int port = 0;
  static inline const std::string image = [] {  // every byte value, no multiple of a chunk size
    std::string bytes;
    for (std::size_t i = 0; i < 3 * 1024 * 1024 + 17; ++i) {
      bytes += static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return bytes;
  }();
};

TEST_F(ServiceHost, AnswersEachRedemptionModeAsTheShellExpectsAndLogsIt) {
  const std::string fallback = "The setup link could not be prepared.",
                    ask = " Ask your Tarnwick for a new setup link.";
  struct Case {
    std::string code;
    int status;
    std::string message;  // empty: the shell opens a pairing page
  } cases[] = {{"ok-1", 200, ""},
               {"ok-lower-1", 200, ""},
               {"ok-error-1", 200, ""},
               {"slow-1-a", 200, ""},
               {"error-1", 410, "This setup link has expired."},
               {"error-empty-1", 404, fallback},
               {"server-error-1", 500, "The setup service is busy. Try again in a minute."},
               {"empty-1", 200, fallback},
               {"empty-4xx-1", 400, fallback},
               {"not-json-1", 200, fallback},
               {"not-object-1", 200, fallback},
               {"wrong-types-1", 200, fallback},
               {"refused-1", 200, fallback},
               {"Unknown_9", 404, "This setup link is not known."}};
  for (const auto& c : cases) {
    auto began = Clock::now();
    auto result = redeem(c.code);
    ASSERT_TRUE(result) << c.code;
    EXPECT_EQ(result->status, c.status) << c.code;
    EXPECT_GE(Clock::now() - began, c.code.starts_with("slow-") ? 1s : 0s);
    auto read = links::redemptionOutcome({.status = result->status, .body = result->body});
    if (c.message.empty()) {
      EXPECT_TRUE(read.pairingURL && read.pairingURL->find("code=TWCK2345") != std::string::npos &&
                  read.pairingURL->find("completion_token=t%26k%2B") != std::string::npos)
          << c.code;
    } else {
      EXPECT_EQ(read, (links::RedemptionOutcome{std::nullopt, c.message + ask})) << c.code;
    }
  }
  EXPECT_FALSE(Json::parse(redeem("ok-2")->body).contains("error"));
  EXPECT_EQ(Json::parse(redeem("ok-error-2")->body)["error"], "This sentence must not be shown.");
  // The contract: an empty JSON object, POSTed, to exactly that path.
  EXPECT_EQ(redeem("ok-3", "{}", "text/plain")->status, 400);
  EXPECT_EQ(redeem("ok-3", R"({"a":1})")->status, 400);
  EXPECT_EQ(client()->Get("/support/install/ok-3/pair")->status, 405);
  EXPECT_EQ(client()->Post("/support/install/ok-3/pair/", "{}", "application/json")->status, 404);
  EXPECT_EQ(client(port, "tarnwick.com", dir / "other/ca.crt")->Get("/").error(),
            httplib::Error::SSLServerVerification);
  EXPECT_EQ(client(port, "other.example")->Get("/").error(), httplib::Error::SSLServerVerification);
  auto log = linesOf(readFile(dir / "requests.log"));
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(Json::parse(log[0]), (Json{{"method", "POST"},
                                       {"target", "/support/install/ok-1/pair"},
                                       {"content_type", "application/json"},
                                       {"body", "{}"}}));
}

// The release manifest in each mode, judged by the shell's own decoder and trust rules.
TEST_F(ServiceHost, ServesTheReleaseManifestAndTheDownloadInTheModeTheTestChooses) {
  struct Case {
    const char* mode;
    int status;
    std::optional<std::string> version;  // of a manifest the shell would accept
  } cases[] = {{"newer", 200, "99.0.0"},  {"version-1.0.0", 200, "1.0.0"}, {"older", 200, "0.0.1"},
               {"build-zero", 200, {}},   {"other-host", 200, {}},         {"no-content", 204, {}},
               {"not-modified", 304, {}}, {"server-error", 500, "99.0.0"}, {"not-json", 200, {}},
               {"slow-1", 200, "99.0.0"}};
  for (const auto& c : cases) {
    writeFile(dir / "manifest-mode", std::string(c.mode) + "\n");
    auto answer = client()->Get("/support/mac/latest.json", {{"User-Agent", "Probe/1"}});
    ASSERT_TRUE(answer) << c.mode;
    EXPECT_EQ(answer->status, c.status) << c.mode;
    auto release = update::decodeRelease(answer->body);
    EXPECT_EQ(release && release->build > 0 && update::trustedDownloadURL(*release)
                  ? std::optional(release->version)
                  : std::nullopt,
              c.version)
        << c.mode;
  }
  EXPECT_EQ(client()->Post("/support/mac/latest.json", "{}", "application/json")->status, 405);
  auto requests = linesOf(readFile(dir / "manifest.jsonl"));
  EXPECT_EQ(Json::parse(requests[0])["headers"].value("User-Agent", ""), "Probe/1");
  EXPECT_EQ(Json::parse(requests.back()).value("method", ""), "POST");

  EXPECT_EQ(client()->Get("/support/mac/download")->status, 404)
      << "no download without its options";
  for (std::string mode : {"image", "html", "500", "drop", "slow-1"}) {
    auto result = client(start({"--download-image", dir / "Tarnwick.dmg", "--download-mode", mode}))
                      ->Get("/support/mac/download");
    ASSERT_EQ(bool(result), mode != "drop") << mode;
    EXPECT_EQ(result ? result->status : 0, mode == "500" ? 500 : mode == "drop" ? 0 : 200) << mode;
    EXPECT_EQ(result && result->body == image, mode == "image" || mode == "slow-1") << mode;
    if (mode == "html") {
      EXPECT_EQ(result->get_header_value("Content-Type"), "text/html");
    }
  }
  EXPECT_EQ(start({"--download-image", dir / "Tarnwick.dmg", "--download-mode", "sometimes"}), 0);
  EXPECT_EQ(hosts.back()->wait(5s), 2);
  EXPECT_EQ(start({"--download-image", dir / "none.dmg", "--download-mode", "image"}), 0);
  EXPECT_EQ(start({"--download-image", dir / "Tarnwick.dmg", "--download-mode", "slow-"}), 0);
}

}  // namespace
}  // namespace tarnwick::integration
