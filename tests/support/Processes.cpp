#include "Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "Files.h"
#include "VirtualDisplay.h"

extern char** environ;

namespace tarnwick::testsupport {

namespace fs = std::filesystem;

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data())) {
    path_ = pattern;
  }
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

void writeScript(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  writeFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    auto& entry = tree[fs::relative(it->path(), root).string()];
    if (it->is_symlink()) {
      entry = "-> " + fs::read_symlink(it->path()).string();
    } else {
      entry = it->is_regular_file() ? readFile(it->path()) : "<folder>";
    }
  }
  return tree;
}

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
  terminate();
}

bool Process::running() {
  int status = 0;
  if (pid_ > 0 && !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return pid_ > 0 && !status_;
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
  return {Process(path, arguments, withOutput).wait(timeout).value_or(-1),
          readFile(folder.path() / "stdout")};
}

VirtualDisplay::VirtualDisplay(int width, int height) {
  auto screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  // Xvfb writes the display number once it accepts connections.
  server_ = std::make_unique<Process>(
      "/usr/bin/Xvfb",
      std::vector<std::string>{"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp",
                               "-noreset", "+extension", "XTEST"},
      Process::Options{.stdoutFile = folder_.path() / "display"});
  auto display = folder_.path() / "display";
  waitUntil([&] { return readFile(display).ends_with('\n') || !server_->running(); }, 10s);
  auto number = readFile(display);
  name_ = number.ends_with('\n') ? ":" + number.substr(0, number.size() - 1) : "";
}

}  // namespace tarnwick::testsupport
