#pragma once

// The stand-in Connector as the tests drive it: started by pid, and its page log, commands and
// request record over loopback HTTP.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Harness.h"

namespace tarnwick::e2e {

using Json = nlohmann::json;

// A loopback client of one listener of the stand-in (or of whatever listens there).
class ConnectorClient {
 public:
  explicit ConnectorClient(int port = 8766);

  // Status and "Server" header of GET /, or nothing when no HTTP answer came.
  struct Answer {
    int status = 0;
    std::string server;
    std::string body;
  };
  std::optional<Answer> get(const std::string& path);
  bool answers() { return get("/").has_value(); }

  Json log();  // everything the pages reported, oldest first
  bool clearLog();
  bool command(const Json& command);  // for the top-level page that polls for one
  bool navigate(const std::string& url) { return command({{"action", "navigate"}, {"url", url}}); }
  // The next `count` answers of the interface ("/") wait `delay` first.
  bool holdInterface(int count, std::chrono::milliseconds delay);
  Json requests();  // the requests it received, apart from the test plumbing
  bool clearRequests();

  // Log entries matching `match`, once at least `count` of them are there.
  std::optional<std::vector<Json>> waitForLog(const std::function<bool(const Json&)>& match,
                                              Clock::duration timeout, std::size_t count = 1);

 private:
  int port_;
};

// Matches a log entry whose every member of `fields` is equal.
std::function<bool(const Json&)> logEntryWith(const Json& fields);
// The interface page's own report that it loaded in the window.
std::function<bool(const Json&)> interfaceLoaded();

// `text` as a query value: everything but letters, digits and "-._~" percent-escaped.
std::string percentEncoded(const std::string& text);

// A stand-in Connector process of our own.
class StandInConnector {
 public:
  struct Options {
    std::optional<std::string> version;  // default: the shell's
    int port = 8766;
    std::vector<int> extraPorts;
    std::filesystem::path executable;  // default: the build's stand-in
  };
  explicit StandInConnector(const Options& options);
  StandInConnector() : StandInConnector(Options{}) {}

  // Waits until it answers on its main port.
  bool ready(Clock::duration timeout = 20s);
  Process& process() { return *process_; }

 private:
  std::unique_ptr<Process> process_;
  int port_ = 8766;
};

std::filesystem::path standInExecutable();

}  // namespace tarnwick::e2e
