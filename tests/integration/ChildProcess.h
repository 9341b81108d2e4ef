#pragma once

// Small pieces shared by the integration tests: temporary folders, child processes started and
// ended by pid, and waiting for a condition with a time limit.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::integration {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout);

// A temporary folder, removed with the object.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

// A child process with its standard output in a file. Killed and collected with the object
// unless it has ended.
class ChildProcess {
 public:
  struct Options {
    std::optional<std::filesystem::path> stdoutFile;
    // Switch to this user and group before the program starts (needs the privilege to).
    std::optional<uid_t> user;
  };
  ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
               const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  bool running();
  // The exit status (128 + signal when killed), or nothing while it still runs after `timeout`.
  std::optional<int> wait(Clock::duration timeout);
  void kill(int signal);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace tarnwick::integration
