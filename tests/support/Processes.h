#pragma once

// Child processes with a chosen environment and output files; polling with a limit.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::testsupport {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `condition` until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout,
               Clock::duration interval = 20ms);

// A child process with its output in files, ended with the object (SIGTERM, 3 s later SIGKILL).
class Process {
 public:
  struct Options {
    std::map<std::string, std::string> environment;  // set on top of this process's environment
    std::vector<std::string> unset;                  // removed from it
    std::optional<std::filesystem::path> stdoutFile;
    std::optional<std::filesystem::path> stderrFile;
    // Run as this user, with the group of the same number (needs the privilege to switch).
    std::optional<uid_t> user;
  };
  Process(const std::string& path, const std::vector<std::string>& arguments,
          const Options& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  int pid() const { return pid_; }
  bool running();
  // The exit status (128 + a signal), or nothing while it still runs after `timeout`.
  std::optional<int> wait(Clock::duration timeout);
  void signal(int number);
  void terminate();

 private:
  int pid_ = -1;
  std::optional<int> status_;
};

// Runs a command to completion, or until `timeout` (status -1, the process ended).
struct CommandResult {
  int status = -1;
  std::string output;  // its standard output
};
CommandResult runCommand(const std::string& path, const std::vector<std::string>& arguments,
                         const Process::Options& options = {}, Clock::duration timeout = 60s);

}  // namespace tarnwick::testsupport
