// A stand-in for the remote service host, for tests on loopback: HTTPS with a certificate the test
// harness makes, answering invitation redemptions in the mode named by the install code.
//
//   tarnwick-service-host --cert FILE --key FILE [--port N] [--log FILE]
//
// Listens on 127.0.0.1 only (port 0, the default, picks a free one) and prints "listening on PORT"
// once it accepts connections. Stops on SIGTERM or SIGINT. With --log, appends one JSON line per
// request (method, target, content type, body).
//
// POST /support/install/CODE/pair with the body "{}" as application/json answers by CODE:
//   ok, ok-*          200, the four pairing members (a token with "&" and "+" in it)
//   ok-lower-*        200, as ok with the code in lower case
//   ok-error-*        200, as ok plus an "error" sentence that must not be shown
//   error-empty-*     404, "error" is the empty text
//   error-*           410, "error": "This setup link has expired."
//   server-error-*    500, "error": "The setup service is busy. Try again in a minute."
//   empty-4xx-*       400, empty body
//   empty-*           200, empty body
//   not-json-*        200, an HTML page
//   not-object-*      200, a JSON array
//   wrong-types-*     200, "code" a number and "completion_token" null
//   refused-*         200, four strings that the shell must refuse (code too short)
//   slow-N-*, slow-N  waits N seconds (at most 120), then answers as ok
//   anything else     404, "error": "This setup link is not known."
// Other methods on that path get 405; a request that is not an empty JSON object gets 400.
//
// GET /support/mac/download answers in the mode --download-mode names (DownloadModes.h).
// GET /support/mac/latest.json: see ReleaseManifestModes.h.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "DownloadModes.h"
#include "ReleaseManifestModes.h"

namespace {

using nlohmann::json;

constexpr const char* redemptionPath = R"(/support/install/([A-Za-z0-9_-]+)/pair)";

std::atomic<bool> stopping{false};

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

json pairing(const std::string& installCode) {
  return {{"server_url", "https://pairing.example:8443/servers/" + installCode},
          {"code", "TWCK2345"},
          {"completion_url", "https://tarnwick.com/support/install/" + installCode + "/complete"},
          {"completion_token", "t&k+" + installCode}};
}

void answerJson(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

// Sleeps in short steps so that a stop is not held up by a slow answer.
void pause(int seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!stopping && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void redeem(const std::string& installCode, httplib::Response& response) {
  std::string code = installCode;
  static const std::regex slow("slow(?:-([0-9]{1,3}))?(?:-.*)?");
  std::smatch match;
  if (std::regex_match(code, match, slow)) {
    int seconds = match[1].matched ? std::stoi(match[1].str()) : 30;
    pause(std::min(seconds, 120));
    code = "ok";
  }

  if (code == "ok" || startsWith(code, "ok-lower-")) {
    json body = pairing(installCode);
    if (startsWith(code, "ok-lower-")) {
      body["code"] = "twck2345";
    }
    answerJson(response, 200, body);
  } else if (startsWith(code, "ok-error-")) {
    json body = pairing(installCode);
    body["error"] = "This sentence must not be shown.";
    answerJson(response, 200, body);
  } else if (startsWith(code, "ok-")) {
    answerJson(response, 200, pairing(installCode));
  } else if (startsWith(code, "error-empty-")) {
    answerJson(response, 404, {{"error", ""}});
  } else if (startsWith(code, "error-")) {
    answerJson(response, 410, {{"error", "This setup link has expired."}});
  } else if (startsWith(code, "server-error-")) {
    answerJson(response, 500, {{"error", "The setup service is busy. Try again in a minute."}});
  } else if (startsWith(code, "empty-4xx-")) {
    response.status = 400;
  } else if (startsWith(code, "empty-")) {
    response.status = 200;
  } else if (startsWith(code, "not-json-")) {
    response.status = 200;
    response.set_content("<!doctype html><title>Oops</title>", "text/html");
  } else if (startsWith(code, "not-object-")) {
    answerJson(response, 200, json::array({pairing(installCode)}));
  } else if (startsWith(code, "wrong-types-")) {
    json body = pairing(installCode);
    body["code"] = 23456789;
    body["completion_token"] = nullptr;
    answerJson(response, 200, body);
  } else if (startsWith(code, "refused-")) {
    json body = pairing(installCode);
    body["code"] = "TWCK";
    answerJson(response, 200, body);
  } else {
    answerJson(response, 404, {{"error", "This setup link is not known."}});
  }
}

struct Options {
  std::string cert;
  std::string key;
  int port = 0;
  std::optional<std::string> log;
  tarnwick::servicehost::DownloadOptions download;
};

std::optional<Options> readOptions(int argc, char** argv) {
  Options options;
  for (int index = 1; index + 1 < argc; index += 2) {
    std::string name = argv[index];
    std::string value = argv[index + 1];
    if (name == "--cert") {
      options.cert = value;
    } else if (name == "--key") {
      options.key = value;
    } else if (name == "--port") {
      options.port = std::atoi(value.c_str());
    } else if (name == "--log") {
      options.log = value;
    } else if (tarnwick::servicehost::readDownloadOption(name, value, options.download)) {
      // kept in options.download
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0 || options.cert.empty() || options.key.empty()) {
    return std::nullopt;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = readOptions(argc, argv);
  if (!options) {
    std::cerr << "usage: tarnwick-service-host --cert FILE --key FILE [--port N] [--log FILE]"
                 " [--download-image FILE] [--download-mode MODE]\n";
    return 2;
  }

  // Stop signals are taken by a thread of their own; a client that hangs up must not kill us.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::SSLServer server(options->cert.c_str(), options->key.c_str());
  if (!server.is_valid()) {
    std::cerr << "tarnwick-service-host: cannot use the certificate or key\n";
    return 1;
  }

  std::mutex logMutex;
  std::ofstream log;
  if (options->log) {
    log.open(*options->log, std::ios::app);
  }
  server.set_logger([&](const httplib::Request& request, const httplib::Response&) {
    if (!log.is_open()) {
      return;
    }
    std::lock_guard lock(logMutex);
    log << json{{"method", request.method},
                {"target", request.target},
                {"content_type", request.get_header_value("Content-Type")},
                {"body", request.body}}
               .dump(-1, ' ', false, json::error_handler_t::replace)
        << '\n'
        << std::flush;
  });

  server.Post(redemptionPath, [](const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("Content-Type") != "application/json" || request.body != "{}") {
      answerJson(response, 400, {{"error", "The setup service expected an empty JSON object."}});
      return;
    }
    redeem(request.matches[1].str(), response);
  });
  auto wrongMethod = [](const httplib::Request&, httplib::Response& response) {
    answerJson(response, 405, {{"error", "Setup links are redeemed with POST."}});
  };
  server.Get(redemptionPath, wrongMethod);
  server.Put(redemptionPath, wrongMethod);
  server.Delete(redemptionPath, wrongMethod);
  server.Patch(redemptionPath, wrongMethod);

  if (!tarnwick::servicehost::serveDownloads(server, options->download, stopping)) {
    std::cerr << "tarnwick-service-host: unknown download mode, or the image cannot be read\n";
    return 2;
  }
  tarnwick::servicehost::serveReleaseManifest(server);

  int port = options->port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port < 0) {
    std::cerr << "tarnwick-service-host: cannot listen on 127.0.0.1\n";
    return 1;
  }

  std::thread stopper([&server, signals] {
    int received = 0;
    sigwait(&signals, &received);
    stopping = true;
    server.stop();
  });
  stopper.detach();

  // The socket already listens: connections made from now on wait for the accept loop.
  std::cout << "listening on " << port << std::endl;
  bool listened = server.listen_after_bind();
  return listened || stopping ? 0 : 1;
}
