#pragma once

// The stand-in Connector: a development and test tool that serves what the shell relies on from the
// real Connector, plus test pages and a log that end-to-end tests read.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::standin {

struct ConnectorOptions {
  std::string version;           // named in the "Server" header
  std::string interfaceVersion;  // in the pages' meta elements and the check answer
  std::string clientSource = "stand-in";
  std::string host = "127.0.0.1";
  int port = 8766;
  std::vector<int> extraPorts;  // the same pages from other origins
};

// Parses the command line. The real Connector's arguments ("run", "--no-browser") are accepted;
// nothing at all is what a login item gets. Nothing when the arguments are not understood.
std::optional<ConnectorOptions> parseArguments(const std::vector<std::string>& arguments,
                                               const std::string& environmentVersion,
                                               const std::string& defaultVersion);

class StandInConnector {
 public:
  explicit StandInConnector(ConnectorOptions options);
  ~StandInConnector();
  StandInConnector(const StandInConnector&) = delete;
  StandInConnector& operator=(const StandInConnector&) = delete;

  // Binds every port; false when one is taken. Serving starts on threads of its own.
  bool start();
  // Stops serving and waits for the threads.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarnwick::standin
