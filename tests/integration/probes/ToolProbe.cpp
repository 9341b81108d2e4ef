// A stand-in tool for the command runner's tests. The first argument names what it does:
//   args <a>...            writes each argument followed by a NUL byte
//   print <text> <status>  writes <text> and exits with <status>
//   flood <bytes>          writes numbered lines, <bytes> in all
//   hex <hex digits>       writes those bytes
//   stderr <text>          writes <text> to standard error only
//   die <text> <signal>    writes <text>, then kills itself with <signal>
//   descriptors            writes the numbers of its open descriptors, space separated
//   signals                writes whether any signal is blocked and how SIGPIPE is handled
//   linger <ms> <file>     writes "<pid> <session> <parent>" to <file>, sleeps, then writes
//                          <file>.done
//   detach <tool> <a>...   starts <tool> through the runner's launchWatched and exits 0
//   launch <tool> <a>...   starts <tool> through the runner's launch; exits 0 when it started
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "connector/PosixCommandRunner.h"

namespace {

void out(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count <= 0) {
      return;
    }
    written += static_cast<std::size_t>(count);
  }
}

std::string floodText(std::size_t bytes) {
  std::string text;
  for (std::size_t line = 0; text.size() < bytes; ++line) {
    text += "line " + std::to_string(line) + " of the flood\n";
  }
  text.resize(bytes);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return 64;
  }
  std::string mode = argv[1];
  std::vector<std::string> rest(argv + 2, argv + argc);
  if (mode == "args") {
    for (const auto& argument : rest) {
      out(STDOUT_FILENO, argument + std::string(1, '\0'));
    }
  } else if (mode == "print" && rest.size() == 2) {
    out(STDOUT_FILENO, rest[0]);
    return std::atoi(rest[1].c_str());
  } else if (mode == "flood" && rest.size() == 1) {
    out(STDOUT_FILENO, floodText(std::stoul(rest[0])));
  } else if (mode == "hex" && rest.size() == 1) {
    std::string bytes;
    for (std::size_t at = 0; at + 1 < rest[0].size(); at += 2) {
      bytes.push_back(static_cast<char>(std::stoi(rest[0].substr(at, 2), nullptr, 16)));
    }
    out(STDOUT_FILENO, bytes);
  } else if (mode == "stderr" && rest.size() == 1) {
    out(STDERR_FILENO, rest[0]);
  } else if (mode == "die" && rest.size() == 2) {
    out(STDOUT_FILENO, rest[0]);
    ::kill(::getpid(), std::atoi(rest[1].c_str()));
    ::pause();
  } else if (mode == "descriptors") {
    std::string list;
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) {
      return 1;
    }
    std::string own = std::to_string(::dirfd(folder));  // the listing's own descriptor
    while (dirent* entry = ::readdir(folder)) {
      std::string name = entry->d_name;
      if (name != "." && name != ".." && name != own) {
        list += (list.empty() ? "" : " ") + name;
      }
    }
    ::closedir(folder);
    out(STDOUT_FILENO, list);
  } else if (mode == "signals") {
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    bool any = false;
    for (int number = 1; number < NSIG; ++number) {
      any = any || sigismember(&blocked, number) == 1;
    }
    struct sigaction pipeAction {};
    sigaction(SIGPIPE, nullptr, &pipeAction);
    out(STDOUT_FILENO,
        std::string(any ? "blocked" : "none-blocked") + " " +
            (pipeAction.sa_handler == SIG_IGN ? "sigpipe-ignored" : "sigpipe-default"));
  } else if (mode == "linger" && rest.size() == 2) {
    std::string record = std::to_string(::getpid()) + " " + std::to_string(::getsid(0)) + " " +
                         std::to_string(::getppid()) + "\n";
    std::string file = rest[1];
    std::ofstream(file + ".tmp") << record;
    std::filesystem::rename(file + ".tmp", file);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(rest[0])));
    std::ofstream(file + ".done") << "done\n";
  } else if (mode == "detach" && !rest.empty()) {
    tarnwick::connector::PosixCommandRunner runner;
    runner.launchWatched(rest[0], std::vector<std::string>(rest.begin() + 1, rest.end()));
  } else if (mode == "launch" && !rest.empty()) {
    tarnwick::connector::PosixCommandRunner runner;
    return runner.launch(rest[0], std::vector<std::string>(rest.begin() + 1, rest.end())) ? 0 : 1;
  } else {
    return 64;
  }
  return 0;
}
