#include "connector/PosixCommandRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace tarnwick::connector {

namespace {

enum class Output { discard, pipe, inherit };
enum class Life { waited, detached };

struct Child {
  pid_t pid = -1;
  int output = -1;  // read end of the output pipe, when one was asked for
};

// Standard error goes to the null device and standard output to it or to a pipe, unless the tool
// keeps this process's streams (`inherit`). The tool
// gets only its three standard descriptors, default signal handling and an empty signal mask, so
// nothing of this process (sockets, the lock, a blocked or ignored signal) leaks into it. A
// detached tool also gets its own session and no standard input, so it outlives this process.
std::optional<Child> spawn(const std::string& path, const std::vector<std::string>& arguments,
                           Output output, Life life) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (output == Output::pipe && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != Output::inherit) {
    if (life == Life::detached) {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (output == Output::pipe) {
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
  }
#ifdef __GLIBC__
#if __GLIBC_PREREQ(2, 34)
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
#endif

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
  if (life == Life::detached) {
    flags = static_cast<short>(flags | POSIX_SPAWN_SETSID);
  }
#endif
  posix_spawnattr_setflags(&attributes, flags);

  Child child;
  int status = ::posix_spawn(&child.pid, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (output == Output::pipe) {
    ::close(pipeFds[1]);
    child.output = pipeFds[0];
  }
  if (status != 0) {
    if (child.output >= 0) {
      ::close(child.output);
    }
    return std::nullopt;
  }
  return child;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return status;
}

}  // namespace

PosixCommandRunner::PosixCommandRunner(ToolLocator locate) : locate_(std::move(locate)) {}

std::string PosixCommandRunner::locate(const std::string& path) const {
  return locate_ ? locate_(path) : path;
}

bool PosixCommandRunner::run(const std::string& path, const std::vector<std::string>& arguments) {
  auto child = spawn(locate(path), arguments, Output::discard, Life::waited);
  if (!child) {
    return false;
  }
  int status = waitFor(child->pid);
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string PosixCommandRunner::capture(const std::string& path,
                                        const std::vector<std::string>& arguments) {
  auto child = spawn(locate(path), arguments, Output::pipe, Life::waited);
  if (!child) {
    return "";
  }
  // Drain while the tool runs: a tool writing more than a pipe holds would otherwise never end.
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(child->output, buffer, sizeof buffer);
    if (count > 0) {
      bytes.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(child->output);
  waitFor(child->pid);
  return isValidUTF8(bytes) ? bytes : "";
}

namespace {

// Started straight from this process in a session of its own, so a hang-up of this process's
// terminal does not reach it; a waiter thread collects its status when it ends, so it leaves no
// zombie, and nothing waits for it here. The waiter is also what knows when it has ended: the
// answer is a way to ask that, or nothing when the tool did not start.
std::function<bool()> startDetached(const std::string& path,
                                    const std::vector<std::string>& arguments, Output output) {
  auto child = spawn(path, arguments, output, Life::detached);
  if (!child) {
    return nullptr;
  }
  auto running = std::make_shared<std::atomic<bool>>(true);
  try {
    std::thread([pid = child->pid, running] {
      waitFor(pid);
      running->store(false);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the finished tool stays a zombie until this process ends, and is
    // taken for running until then.
  }
  return [running] { return running->load(); };
}

}  // namespace

std::function<bool()> PosixCommandRunner::launchWatched(const std::string& path,
                                                        const std::vector<std::string>& arguments) {
  auto running = startDetached(locate(path), arguments, Output::discard);
  return running ? running : [] { return false; };
}

bool PosixCommandRunner::launch(const std::string& path,
                                const std::vector<std::string>& arguments) {
  return startDetached(locate(path), arguments, Output::inherit) != nullptr;
}

bool isValidUTF8(const std::string& bytes) {
  std::size_t index = 0;
  const std::size_t size = bytes.size();
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  while (index < size) {
    unsigned char lead = byte(index);
    std::size_t length;
    char32_t value;
    if (lead < 0x80) {
      ++index;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      value = lead & 0x07;
    } else {
      return false;
    }
    if (index + length > size) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      unsigned char next = byte(index + k);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    index += length;
  }
  return true;
}

}  // namespace tarnwick::connector
