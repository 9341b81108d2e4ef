#include "VirtualDisplay.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace tarnwick::testsupport {

VirtualDisplay::VirtualDisplay(int width, int height) : width_(width), height_(height) {
  int fds[2];
  if (::pipe(fds) != 0) {
    return;
  }
  std::vector<std::string> arguments = {
      "Xvfb",      "-displayfd", std::to_string(fds[1]), "-screen",   "0",
      std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten",
      "tcp",       "-noreset",   "+extension",           "XTEST"};
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  bool spawned = ::posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  // Xvfb writes the display number once it accepts connections.
  std::string number;
  for (char c; spawned && ::read(fds[0], &c, 1) == 1 && c != '\n';) {
    number += c;
  }
  ::close(fds[0]);
  pid_ = spawned ? pid : -1;
  if (!number.empty()) {
    name_ = ":" + number;
  }
}

VirtualDisplay::~VirtualDisplay() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace tarnwick::testsupport
