#include "Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "Files.h"

extern char** environ;

namespace tarnwick::testsupport {

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout,
               Clock::duration interval) {
  for (auto deadline = Clock::now() + timeout; !condition(); std::this_thread::sleep_for(interval)) {
    if (Clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

namespace {

int openOutput(const std::optional<std::filesystem::path>& file) {
  std::string path = file ? file->string() : "/dev/null";
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

Process::Process(const std::string& path, const std::vector<std::string>& arguments,
                 const Options& options) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry), name = text.substr(0, text.find('='));
    if (!options.environment.contains(name) &&
        std::find(options.unset.begin(), options.unset.end(), name) == options.unset.end()) {
      environment.push_back(text);
    }
  }
  for (const auto& [name, value] : options.environment) {
    environment.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  // Opened here, so that a child that gives up its privileges can still write them.
  int fds[] = {::open("/dev/null", O_RDONLY | O_CLOEXEC), openOutput(options.stdoutFile),
               openOutput(options.stderrFile)};
  if (fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0 && (pid_ = ::fork()) == 0) {
    // Only async-signal-safe calls from here on: the test process may have threads.
    for (int fd = 0; fd < 3; ++fd) {
      ::dup2(fds[fd], fd);
    }
    if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 ||
                         ::setuid(*options.user) != 0)) {
      ::_exit(126);
    }
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  for (int fd : fds) {
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
  int status = 0;
  if (started() && !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return started() && !status_;
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

std::string Process::firstLine(const std::filesystem::path& file, Clock::duration timeout) {
  std::string text;
  waitUntil([&] { return (text = readFile(file)).find('\n') != text.npos || !running(); }, timeout);
  return text.substr(0, text.find('\n'));
}

CommandResult runCommand(const std::string& path, const std::vector<std::string>& arguments,
                         const Process::Options& options, Clock::duration timeout) {
  TemporaryFolder folder("tarnwick-command");
  auto withOutput = options;
  withOutput.stdoutFile = folder.path() / "stdout";
  CommandResult result;
  {
    Process process(path, arguments, withOutput);
    if (process.started()) {
      result.status = process.wait(timeout).value_or(-1);
    }
  }
  result.output = readFile(folder.path() / "stdout");
  return result;
}

}  // namespace tarnwick::testsupport
