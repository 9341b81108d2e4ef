#include "StandIn.h"

#include <httplib.h>

#include <cctype>

namespace tarnwick::e2e {

ConnectorClient::ConnectorClient(int port) : port_(port) {}

namespace {

httplib::Client client(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(2, 0);
  client.set_read_timeout(5, 0);
  return client;
}

// The JSON array an answer holds; an empty one for anything else.
Json array(const httplib::Result& result) {
  if (!result || result->status != 200) {
    return Json::array();
  }
  auto parsed = Json::parse(result->body, nullptr, false);
  return parsed.is_array() ? parsed : Json::array();
}

bool noContent(const httplib::Result& result) {
  return result && result->status == 204;
}

}  // namespace

std::optional<ConnectorClient::Answer> ConnectorClient::get(const std::string& path) {
  auto http = client(port_);
  auto result = http.Get(path);
  if (!result) {
    return std::nullopt;
  }
  return Answer{result->status, result->get_header_value("Server"), result->body};
}

Json ConnectorClient::log() {
  return array(client(port_).Get("/test/log"));
}
bool ConnectorClient::clearLog() {
  return noContent(client(port_).Delete("/test/log"));
}

bool ConnectorClient::command(const Json& command) {
  return noContent(client(port_).Post("/test/command", command.dump(), "application/json"));
}

bool ConnectorClient::holdInterface(int count, std::chrono::milliseconds delay) {
  auto http = client(port_);
  auto result = http.Post("/test/hold-interface",
                          Json{{"count", count}, {"ms", delay.count()}}.dump(), "application/json");
  return result && result->status == 204;
}

Json ConnectorClient::requests() {
  return array(client(port_).Get("/test/requests"));
}
bool ConnectorClient::clearRequests() {
  return noContent(client(port_).Delete("/test/requests"));
}

std::optional<std::vector<Json>> ConnectorClient::waitForLog(
    const std::function<bool(const Json&)>& match, Clock::duration timeout, std::size_t count) {
  std::vector<Json> found;
  bool enough = waitUntil(
      [&] {
        found.clear();
        for (const auto& entry : log()) {
          if (match(entry)) {
            found.push_back(entry);
          }
        }
        return found.size() >= count;
      },
      timeout, 100ms);
  if (!enough) {
    return std::nullopt;
  }
  return found;
}

std::function<bool(const Json&)> logEntryWith(const Json& fields) {
  return [fields](const Json& entry) {
    for (const auto& [name, value] : fields.items()) {
      if (!entry.contains(name) || entry[name] != value) {
        return false;
      }
    }
    return true;
  };
}

std::function<bool(const Json&)> interfaceLoaded() {
  return logEntryWith(
      {{"event", "loaded"}, {"path", "/"}, {"isTop", true}, {"origin", "http://127.0.0.1:8766"}});
}

std::string percentEncoded(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char signedChar : text) {
    auto c = static_cast<unsigned char>(signedChar);
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

std::filesystem::path standInExecutable() {
  return TARNWICK_CONNECTOR_EXECUTABLE;
}

StandInConnector::StandInConnector(const Options& options) {
  std::vector<std::string> arguments = {"run", "--no-browser", "--port",
                                        std::to_string(options.port)};
  port_ = options.port;
  if (options.version) {
    arguments.insert(arguments.end(), {"--version", *options.version});
  }
  for (int port : options.extraPorts) {
    arguments.insert(arguments.end(), {"--extra-port", std::to_string(port)});
  }
  auto executable = options.executable.empty() ? standInExecutable() : options.executable;
  process_ = std::make_unique<Process>(executable.string(), arguments);
}

bool StandInConnector::ready(Clock::duration timeout) {
  ConnectorClient client(port_);
  return waitUntil([&] { return process_->running() && client.answers(); }, timeout, 50ms);
}

}  // namespace tarnwick::e2e
