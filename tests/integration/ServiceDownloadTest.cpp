// The stand-in service host's update download, one host process per mode, over real HTTPS.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Processes.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::testsupport;

class ServiceDownload : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch.emplace("tarnwick-service-download");
    ASSERT_EQ(runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, scratch->path().string()}).status, 0);
    // Not a multiple of any chunk size, with every byte value.
    image.clear();
    for (std::size_t i = 0; i < 3 * 1024 * 1024 + 17; ++i) {
      image += static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    writeFile(scratch->path() / "Tarnwick.dmg", image);
  }
  static void TearDownTestSuite() { scratch.reset(); }

  // Starts a host in `mode`; its port, or nothing when it refused to start.
  std::optional<int> start(const std::string& mode) {
    const auto& folder = scratch->path();
    Process::Options options;
    options.stdoutFile = folder / ("server-" + mode + ".out");
    host.emplace(
        TARNWICK_SERVICE_HOST,
        std::vector<std::string>{"--cert", (folder / "server.crt").string(), "--key",
                                 (folder / "server.key").string(), "--download-image",
                                 (folder / "Tarnwick.dmg").string(), "--download-mode", mode},
        options);
    std::string line;
    waitUntil(
        [&] {
          line = readFile(*options.stdoutFile);
          return line.find('\n') != std::string::npos || !host->running();
        },
        10s);
    if (line.rfind("listening on ", 0) != 0) {
      return std::nullopt;
    }
    return std::stoi(line.substr(13));
  }

  httplib::Result download(int port) {
    httplib::SSLClient client("tarnwick.com", port);
    client.set_hostname_addr_map({{"tarnwick.com", "127.0.0.1"}});
    client.enable_server_certificate_verification(true);
    client.set_ca_cert_path((scratch->path() / "ca.crt").c_str());
    client.set_read_timeout(20);
    return client.Get("/support/mac/download");
  }

  static inline std::optional<TemporaryFolder> scratch;
  static inline std::string image;
  std::optional<Process> host;
};

TEST_F(ServiceDownload, EachModeAnswersAsTheUpdaterMustSeeIt) {
  struct Case {
    std::string mode;
    bool completes;  // a whole response arrives
    int status = 0;
    bool isImage = false;  // the body is the image, byte for byte
    double minimumSeconds = 0;
  };
  for (const auto& c : std::vector<Case>{
           {"image", true, 200, true},
           {"html", true, 200, false},
           {"404", true, 404, false},
           {"500", true, 500, false},
           {"drop", false},
           {"slow-2", true, 200, true, 1.5},
       }) {
    SCOPED_TRACE(c.mode);
    auto port = start(c.mode);
    ASSERT_TRUE(port);
    auto began = std::chrono::steady_clock::now();
    auto result = download(*port);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    ASSERT_EQ(static_cast<bool>(result), c.completes) << httplib::to_string(result.error());
    if (!c.completes) {
      continue;
    }
    EXPECT_EQ(result->status, c.status);
    EXPECT_EQ(result->body == image, c.isImage);
    if (!c.isImage && c.status == 200) {
      EXPECT_EQ(result->get_header_value("Content-Type"), "text/html");
    }
    EXPECT_GE(took.count(), c.minimumSeconds);
  }
}

TEST_F(ServiceDownload, AnUnknownModeOrAMissingImageStopsTheHost) {
  EXPECT_FALSE(start("sometimes"));
  EXPECT_EQ(host->wait(5s), 2);
  EXPECT_FALSE(start("slow-"));
}

TEST_F(ServiceDownload, WithoutDownloadOptionsThereIsNoDownload) {
  const auto& folder = scratch->path();
  Process::Options options;
  options.stdoutFile = folder / "server-none.out";
  host.emplace(TARNWICK_SERVICE_HOST,
               std::vector<std::string>{"--cert", (folder / "server.crt").string(), "--key",
                                        (folder / "server.key").string()},
               options);
  std::string line;
  ASSERT_TRUE(waitUntil(
      [&] {
        line = readFile(*options.stdoutFile);
        return line.find('\n') != std::string::npos;
      },
      10s));
  ASSERT_EQ(line.rfind("listening on ", 0), 0u) << line;
  auto result = download(std::stoi(line.substr(13)));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 404);
}

}  // namespace
