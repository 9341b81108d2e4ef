#include "ReleaseManifestModes.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace tarnwick::servicehost {

namespace {

using nlohmann::json;

constexpr const char* manifestPath = "/support/mac/latest.json";
constexpr const char* digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string currentMode() {
  const char* file = std::getenv("TARNWICK_SERVICE_MANIFEST_MODE");
  std::string mode;
  if (file) {
    std::ifstream in(file);
    std::getline(in, mode);
  }
  while (!mode.empty() && (mode.back() == ' ' || mode.back() == '\r')) {
    mode.pop_back();
  }
  return mode.empty() ? "newer" : mode;
}

json manifest(const std::string& version) {
  return {{"version", version},
          {"build", 57},
          {"download_url", "https://tarnwick.com/support/mac/download"},
          {"sha256", digest},
          {"release_notes", "Faster start.\nSteadier sync.\n"},
          {"published_at", "2026-12-05T11:44:13Z"}};
}

void answerJson(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void record(const httplib::Request& request) {
  const char* file = std::getenv("TARNWICK_SERVICE_MANIFEST_REQUESTS");
  if (!file) {
    return;
  }
  json headers = json::object();
  for (const auto& [name, value] : request.headers) {
    // Header names arrive as the client spelled them; one line per request keeps them all.
    headers[name] = value;
  }
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::ofstream(file, std::ios::app)
      << json{{"method", request.method}, {"target", request.target}, {"headers", headers}}.dump(
             -1, ' ', false, json::error_handler_t::replace)
      << '\n';
}

void answer(std::string mode, httplib::Response& response) {
  if (mode.starts_with("slow-")) {
    auto seconds = mode.substr(5);
    if (!seconds.empty() && seconds.size() <= 3 &&
        seconds.find_first_not_of("0123456789") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::seconds(std::min(std::stoi(seconds), 120)));
    }
    mode = "newer";
  }
  if (mode == "newer") {
    answerJson(response, 200, manifest("99.0.0"));
  } else if (mode.starts_with("version-")) {
    answerJson(response, 200, manifest(mode.substr(8)));
  } else if (mode == "older") {
    answerJson(response, 200, manifest("0.0.1"));
  } else if (mode == "build-zero") {
    json body = manifest("99.0.0");
    body["build"] = 0;
    answerJson(response, 200, body);
  } else if (mode == "other-host") {
    json body = manifest("99.0.0");
    body["download_url"] = "https://downloads.example/support/mac/download";
    answerJson(response, 200, body);
  } else if (mode == "no-content") {
    response.status = 204;
  } else if (mode == "not-modified") {
    response.status = 304;
  } else if (mode == "server-error") {
    answerJson(response, 500, manifest("99.0.0"));
  } else if (mode.starts_with("file ")) {
    std::ifstream in(mode.substr(5), std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    response.status = in ? 200 : 404;
    response.set_content(body, "application/json");
  } else if (mode == "not-json") {
    response.status = 200;
    response.set_content("<!doctype html><title>Maintenance</title>", "text/html");
  } else {
    answerJson(response, 404, {{"error", "Unknown manifest mode " + mode + "."}});
  }
}

}  // namespace

void serveReleaseManifest(httplib::Server& server) {
  server.Get(manifestPath, [](const httplib::Request& request, httplib::Response& response) {
    record(request);
    answer(currentMode(), response);
  });
  auto wrongMethod = [](const httplib::Request& request, httplib::Response& response) {
    record(request);
    answerJson(response, 405, {{"error", "The release manifest is fetched with GET."}});
  };
  server.Post(manifestPath, wrongMethod);
  server.Put(manifestPath, wrongMethod);
  server.Delete(manifestPath, wrongMethod);
  server.Patch(manifestPath, wrongMethod);
}

}  // namespace tarnwick::servicehost
