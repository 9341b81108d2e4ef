#include "Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "Files.h"

extern char** environ;

namespace tarnwick::testsupport {

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout,
               Clock::duration interval) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) {
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(interval);
  }
}

namespace {

std::vector<std::string> environmentWith(const Process::Options& options) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=');
    if (equals != std::string::npos) {
      merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  for (const auto& name : options.unset) {
    merged.erase(name);
  }
  for (const auto& [name, value] : options.environment) {
    merged[name] = value;
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) {
    result.push_back(name + "=" + value);
  }
  return result;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

int openOutput(const std::optional<std::filesystem::path>& file) {
  std::string path = file ? file->string() : "/dev/null";
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

Process::Process(const std::string& path, const std::vector<std::string>& arguments,
                 const Options& options) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  auto environment = environmentWith(options);
  std::vector<char*> envp;
  for (auto& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  // Opened here, so that a child that gives up its privileges can still write them.
  int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int output = openOutput(options.stdoutFile);
  int errors = openOutput(options.stderrFile);
  if (input >= 0 && output >= 0 && errors >= 0) {
    pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls from here on: the test process may have threads.
      ::dup2(input, STDIN_FILENO);
      ::dup2(output, STDOUT_FILENO);
      ::dup2(errors, STDERR_FILENO);
      if (options.user) {
        auto group = static_cast<gid_t>(*options.user);
        if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(*options.user) != 0) {
          ::_exit(126);
        }
      }
      ::execve(path.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    pid_ = pid;
  }
  for (int fd : {input, output, errors}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

Process::~Process() {
  if (started() && !status_) {
    terminate();
  }
}

bool Process::running() {
  if (!started() || status_) {
    return false;
  }
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = decodeStatus(status);
    return false;
  }
  return true;
}

std::optional<int> Process::wait(Clock::duration timeout) {
  waitUntil([this] { return !running(); }, timeout, 10ms);
  return status_;
}

void Process::signal(int number) {
  if (running()) {
    ::kill(pid_, number);
  }
}

void Process::terminate() {
  signal(SIGTERM);
  if (!wait(3s)) {
    signal(SIGKILL);
    wait(3s);
  }
}

CommandResult runCommand(const std::string& path, const std::vector<std::string>& arguments,
                         const Process::Options& options, Clock::duration timeout) {
  TemporaryFolder folder("tarnwick-command");
  auto withOutput = options;
  withOutput.stdoutFile = folder.path() / "stdout";
  CommandResult result;
  {
    Process process(path, arguments, withOutput);
    if (!process.started()) {
      return result;
    }
    result.status = process.wait(timeout).value_or(-1);
  }
  result.output = readFile(folder.path() / "stdout");
  return result;
}

}  // namespace tarnwick::testsupport
