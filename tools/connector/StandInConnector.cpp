#include "StandInConnector.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <ctime>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "Pages.h"

namespace tarnwick::standin {

using nlohmann::json;

std::optional<ConnectorOptions> parseArguments(const std::vector<std::string>& arguments,
                                               const std::string& environmentVersion,
                                               const std::string& defaultVersion) {
  ConnectorOptions options;
  options.version = environmentVersion.empty() ? defaultVersion : environmentVersion;
  std::optional<std::string> interfaceVersion;
  auto port = [](const std::string& text) -> std::optional<int> {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    int value = std::stoi(text);
    if (value < 1 || value > 65535) {
      return std::nullopt;
    }
    return value;
  };
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const auto& argument = arguments[index];
    bool hasValue = index + 1 < arguments.size();
    if (argument == "run" || argument == "--no-browser") {
      continue;
    }
    if (!hasValue) {
      return std::nullopt;
    }
    const auto& value = arguments[++index];
    if (argument == "--version") {
      options.version = value;
    } else if (argument == "--interface-version") {
      interfaceVersion = value;
    } else if (argument == "--client-source") {
      options.clientSource = value;
    } else if (argument == "--port" || argument == "--extra-port") {
      auto number = port(value);
      if (!number) {
        return std::nullopt;
      }
      if (argument == "--port") {
        options.port = *number;
      } else {
        options.extraPorts.push_back(*number);
      }
    } else {
      return std::nullopt;
    }
  }
  if (options.version.empty()) {
    return std::nullopt;
  }
  options.interfaceVersion = interfaceVersion.value_or(options.version);
  return options;
}

namespace {

std::string randomToken() {
  std::random_device device;
  std::string token;
  static constexpr char digits[] = "0123456789abcdef";
  for (int index = 0; index < 32; ++index) {
    token += digits[device() % 16];
  }
  return token;
}

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

Query queryOf(const httplib::Request& request) {
  Query query;
  for (const auto& [name, value] : request.params) {
    query.emplace(name, value);
  }
  return query;
}

// Requests the tests look at; the page plumbing under /test/ is left out.
bool isRecorded(const std::string& path) {
  return path.rfind("/test/", 0) != 0 || path == "/test/cacheable";
}

void sendHTML(httplib::Response& response, const std::string& html) {
  response.set_header("Cache-Control", "no-store");
  response.set_content(html, "text/html; charset=utf-8");
}

}  // namespace

struct StandInConnector::State {
  ConnectorOptions options;
  PageIdentity identity;
  std::vector<std::unique_ptr<httplib::Server>> servers;
  std::vector<std::thread> threads;

  std::mutex mutex;
  json log = json::array();
  std::deque<json> commands;
  json requests = json::array();
  json clientCheck;
  // When set, the check answers with this status and text instead: a failing or garbled Connector.
  std::optional<std::pair<int, std::string>> rawClientCheck;

  void route(httplib::Server& server, int port);
};

void StandInConnector::State::route(httplib::Server& server, int port) {
  server.set_default_headers({{"Server", "TarnwickDesktop/" + options.version}});
  server.set_keep_alive_timeout(1);
  // One Connector per port, as the real one: no sharing of the port with another listener.
  server.set_socket_options([](socket_t socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  server.set_pre_routing_handler([this, port](const httplib::Request& request, httplib::Response&) {
    if (isRecorded(request.path)) {
      json headers = json::object();
      for (const auto& [name, value] : request.headers) {
        headers[name] = value;
      }
      std::lock_guard lock(mutex);
      requests.push_back({{"method", request.method},
                          {"path", request.path},
                          {"port", port},
                          {"headers", headers}});
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.Get("/", [this](const httplib::Request&, httplib::Response& response) {
    sendHTML(response, interfacePage(identity));
  });
  server.Get("/support", [this](const httplib::Request& request, httplib::Response& response) {
    sendHTML(response, pairingPage(identity, queryOf(request)));
  });
  server.Post("/api/client-check",
              [this](const httplib::Request& request, httplib::Response& response) {
                if (request.get_header_value("X-Tarnwick-CSRF") != identity.csrfToken) {
                  response.status = 403;
                  response.set_content(R"({"error":"csrf"})", "application/json");
                  return;
                }
                std::lock_guard lock(mutex);
                if (rawClientCheck) {
                  response.status = rawClientCheck->first;
                  response.set_content(rawClientCheck->second, "text/plain; charset=utf-8");
                  return;
                }
                response.set_content(clientCheck.dump(), "application/json");
              });

  server.Get("/test/common.js", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(commonScript(), "text/javascript; charset=utf-8");
  });
  server.Get("/test/cacheable",
             [this](const httplib::Request& request, httplib::Response& response) {
               bool found = false;
               response.set_header("Cache-Control", "max-age=3600");
               response.set_content(testPage(identity, "act", queryOf(request), &found),
                                    "text/html; charset=utf-8");
             });

  server.Post("/test/log",
              [this, port](const httplib::Request& request, httplib::Response& response) {
                json entry = json::parse(request.body, nullptr, false);
                if (!entry.is_object()) {
                  response.status = 400;
                  return;
                }
                entry["port"] = port;
                std::lock_guard lock(mutex);
                log.push_back(std::move(entry));
                response.status = 204;
              });
  server.Get("/test/log", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(mutex);
    response.set_header("Cache-Control", "no-store");
    response.set_content(log.dump(), "application/json");
  });
  server.Delete("/test/log", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(mutex);
    log = json::array();
    response.status = 204;
  });

  server.Post("/test/command",
              [this](const httplib::Request& request, httplib::Response& response) {
                json command = json::parse(request.body, nullptr, false);
                if (!command.is_object()) {
                  response.status = 400;
                  return;
                }
                std::lock_guard lock(mutex);
                commands.push_back(std::move(command));
                response.status = 204;
              });
  server.Get("/test/command", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(mutex);
    response.set_header("Cache-Control", "no-store");
    if (commands.empty()) {
      response.status = 204;
      return;
    }
    response.set_content(commands.front().dump(), "application/json");
    commands.pop_front();
  });

  server.Get("/test/requests", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(mutex);
    response.set_header("Cache-Control", "no-store");
    response.set_content(requests.dump(), "application/json");
  });
  server.Delete("/test/requests", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(mutex);
    requests = json::array();
    response.status = 204;
  });

  // Tests of the interface check change what the next check answers.
  server.Post("/test/client-check",
              [this](const httplib::Request& request, httplib::Response& response) {
                json answer = json::parse(request.body, nullptr, false);
                if (!answer.is_object()) {
                  response.status = 400;
                  return;
                }
                std::lock_guard lock(mutex);
                clientCheck = std::move(answer);
                rawClientCheck.reset();
                response.status = 204;
              });
  // Or answers with ?status=N (default 200) and the posted text as it is.
  server.Post("/test/client-check-raw", [this](const httplib::Request& request,
                                               httplib::Response& response) {
    auto status = request.get_param_value("status");
    if (status.empty()) {
      status = "200";
    }
    if (status.size() != 3 || status.find_first_not_of("0123456789") != std::string::npos) {
      response.status = 400;
      return;
    }
    std::lock_guard lock(mutex);
    rawClientCheck.emplace(std::stoi(status), request.body);
    response.status = 204;
  });

  // Answers after the given time, to keep a load in progress.
  server.Get("/test/slow", [](const httplib::Request& request, httplib::Response& response) {
    auto ms = request.get_param_value("ms");
    if (!ms.empty() && ms.size() < 7 && ms.find_first_not_of("0123456789") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(ms)));
    }
    response.set_header("Cache-Control", "no-store");
    response.set_content("", "image/gif");
  });

  server.Get(
      R"(/test/([a-z]+))", [this](const httplib::Request& request, httplib::Response& response) {
        // A policy without eval, as a careful interface would send.
        if (request.has_param("csp")) {
          response.set_header("Content-Security-Policy", "script-src 'self' 'unsafe-inline'");
        }
        bool found = false;
        std::string page = testPage(identity, request.matches[1].str(), queryOf(request), &found);
        if (!found) {
          response.status = 404;
          return;
        }
        sendHTML(response, page);
      });
}

StandInConnector::StandInConnector(ConnectorOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  state_->identity = PageIdentity{.version = state_->options.interfaceVersion,
                                  .source = state_->options.clientSource,
                                  .csrfToken = randomToken()};
  state_->clientCheck = {{"client_version", state_->options.interfaceVersion},
                         {"client_source", state_->options.clientSource},
                         {"client_installed_at", utcNow()},
                         {"last_result", "up to date"},
                         {"last_error", nullptr}};
}

StandInConnector::~StandInConnector() {
  stop();
}

bool StandInConnector::start() {
  std::vector<int> ports = {state_->options.port};
  ports.insert(ports.end(), state_->options.extraPorts.begin(), state_->options.extraPorts.end());
  for (int port : ports) {
    auto server = std::make_unique<httplib::Server>();
    state_->route(*server, port);
    if (!server->bind_to_port(state_->options.host, port)) {
      return false;
    }
    state_->servers.push_back(std::move(server));
  }
  for (auto& server : state_->servers) {
    state_->threads.emplace_back([raw = server.get()] { raw->listen_after_bind(); });
  }
  return true;
}

void StandInConnector::stop() {
  for (auto& server : state_->servers) {
    server->stop();
  }
  for (auto& thread : state_->threads) {
    if (thread.joinable()) {
      thread.join();
    }
  }
  state_->threads.clear();
}

}  // namespace tarnwick::standin
