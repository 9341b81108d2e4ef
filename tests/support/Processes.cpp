#include "Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "Files.h"
#include "VirtualDisplay.h"

extern char** environ;

namespace tarnwick::testsupport {

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout,
               Clock::duration interval) {
  for (auto deadline = Clock::now() + timeout; !condition();
       std::this_thread::sleep_for(interval)) {
    if (Clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

Process::Process(const std::string& path, const std::vector<std::string>& arguments,
                 const Options& options) {
  std::vector<std::string> argv{path}, environment;
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  for (char** entry = environ; *entry; ++entry) {
    std::string name = std::string(*entry).substr(0, std::string(*entry).find('='));
    if (!options.environment.contains(name) && std::ranges::count(options.unset, name) == 0) {
      environment.push_back(*entry);
    }
  }
  for (const auto& [name, value] : options.environment) {
    environment.push_back(name + "=" + value);
  }
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> result;
    std::ranges::transform(strings, std::back_inserter(result), [](auto& s) { return s.data(); });
    result.push_back(nullptr);
    return result;
  };
  auto args = pointers(argv), envp = pointers(environment);
  // Opened here, so that a child that gives up its privileges can still write them.
  auto output = [](const std::optional<std::filesystem::path>& file, int flags) {
    return ::open(file ? file->c_str() : "/dev/null", flags | O_CLOEXEC, 0644);
  };
  int fds[] = {output(std::nullopt, O_RDONLY),
               output(options.stdoutFile, O_WRONLY | O_CREAT | O_TRUNC),
               output(options.stderrFile, O_WRONLY | O_CREAT | O_TRUNC)};
  if (std::ranges::min(fds) >= 0 && (pid_ = ::fork()) == 0) {
    // Only async-signal-safe calls from here on: the test process may have threads.
    for (int fd = 0; fd < 3; ++fd) {
      ::dup2(fds[fd], fd);
    }
    if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 ||
                         ::setuid(*options.user) != 0)) {
      ::_exit(126);
    }
    ::execve(path.c_str(), args.data(), envp.data());
    ::_exit(127);
  }
  for (int fd : fds) {
    ::close(fd);
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
  int status = Process(path, arguments, withOutput).wait(timeout).value_or(-1);
  return {status, readFile(folder.path() / "stdout")};
}

VirtualDisplay::VirtualDisplay(int width, int height) {
  auto screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  // Xvfb writes the display number once it accepts connections.
  server_ = std::make_unique<Process>(
      "/usr/bin/Xvfb",
      std::vector<std::string>{"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp",
                               "-noreset", "+extension", "XTEST"},
      Process::Options{.stdoutFile = folder_.path() / "display"});
  auto number = server_->firstLine(folder_.path() / "display");
  name_ = number.empty() ? "" : ":" + number;
}

}  // namespace tarnwick::testsupport
