#include "ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace tarnwick::integration {

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) {
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-it-XXXXXX").string();
  if (::mkdtemp(pattern.data())) {
    path_ = pattern;
  }
}

TemporaryFolder::~TemporaryFolder() {
  if (path_.empty()) {
    return;
  }
  // Folders a test made unwritable must become writable again before they can go.
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                           const Options& options) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::string out = options.stdoutFile ? options.stdoutFile->string() : "/dev/null";
  // Opened here, so a child that gives up its privileges can still write it.
  int output = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (output < 0 || null < 0) {
    return;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    ::dup2(null, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (options.user) {
      gid_t group = static_cast<gid_t>(*options.user);
      if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(*options.user) != 0) {
        ::_exit(126);
      }
    }
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(output);
  ::close(null);
  pid_ = pid;
}

ChildProcess::~ChildProcess() {
  if (started() && !status_) {
    kill(SIGKILL);
    wait(10s);
  }
}

bool ChildProcess::running() {
  if (!started() || status_) {
    return false;
  }
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

std::optional<int> ChildProcess::wait(Clock::duration timeout) {
  waitUntil([this] { return !running(); }, timeout);
  return status_;
}

void ChildProcess::kill(int signal) {
  if (running()) {
    ::kill(pid_, signal);
  }
}

}  // namespace tarnwick::integration
