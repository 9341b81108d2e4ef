#include "platform/linux/update/Tools.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "connector/ConnectorContract.h"
#include "platform/linux/OwnProcesses.h"
#include "platform/linux/update/FileTree.h"
#include "platform/linux/update/Image.h"
#include "platform/linux/update/Seal.h"

extern char** environ;

namespace tarnwick::update_tools {

int fail(const char* tool, const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", tool, why.c_str());
  return refused;
}

std::optional<std::string> mainExecutable(int bundleFd) {
  auto name = infoString(bundleFd, "CFBundleExecutable");
  if (!name || !isPlainName(*name)) {
    return std::nullopt;
  }
  return name;
}

int hdiutil(const Arguments& a) {
  if (a.size() == 7 && a[0] == "attach" && a[2] == "-nobrowse" && a[3] == "-readonly" &&
      a[4] == "-mountpoint" && a[6] == "-quiet") {
    return attachImage(a[1], a[5]) ? 0 : fail("hdiutil", "the image could not be attached");
  }
  if (a.size() == 3 && a[0] == "detach" && a[2] == "-quiet") {
    return detachImage(a[1]) ? 0 : fail("hdiutil", "the image could not be detached");
  }
  return usage;
}

int ditto(const Arguments& a) {
  if (a.size() != 2 || a[0].empty() || a[1].empty()) {
    return usage;
  }
  // cp -a keeps modes, links, times and user attributes; -T copies into DST itself, as ditto
  // does, rather than into a folder below it.
  const char* argv[] = {"cp", "-a", "-T", "--", a[0].c_str(), a[1].c_str(), nullptr};
  ::execve("/bin/cp", const_cast<char* const*>(argv), environ);
  return fail("ditto", "the copy could not start");
}

int xattr(const Arguments& a) {
  if (a.size() != 3 || a[0] != "-dr" || a[1] != "com.apple.quarantine") {
    return usage;
  }
  // Where a file came from is what Linux desktops record of a download.
  static const char* const names[] = {"user.xdg.origin.url", "user.xdg.referrer.url"};
  auto drop = [](const std::string& path) {
    for (const char* name : names) {
      if (::lremovexattr(path.c_str(), name) != 0 && errno != ENODATA && errno != ENOTSUP) {
        return false;
      }
    }
    return true;
  };
  struct stat info {};
  if (::lstat(a[2].c_str(), &info) != 0) {
    return fail("xattr", "no such file");
  }
  if (!S_ISDIR(info.st_mode)) {
    return drop(a[2]) ? 0 : refused;
  }
  Fd root = openFolder(a[2]);
  if (!root) {
    return fail("xattr", "the folder could not be opened");
  }
  bool ok = true;
  bool walked = walkTree(root.get(), [&](const TreeEntry& entry) {
    // Through the parent's descriptor, so no link on the way is followed.
    std::string path = "/proc/self/fd/" + std::to_string(entry.parentFd) + "/" + entry.name;
    if (!S_ISLNK(entry.info.st_mode)) {
      ok = drop(path) && ok;
    }
    return Visit::descend;
  });
  return walked && ok ? 0 : refused;
}

int open(const Arguments& a) {
  if (a.size() != 2 || a[0] != "-n") {
    return usage;
  }
  Fd bundle = openFolder(a[1]);
  auto name = bundle ? mainExecutable(bundle.get()) : std::nullopt;
  if (!name) {
    return fail("open", "not a bundle");
  }
  std::string path = a[1] + "/Contents/MacOS/" + *name;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  // Its own session: it outlives whoever opened it and belongs to no terminal.
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  char* argv[] = {path.data(), nullptr};
  int error = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? 0 : fail("open", "the program could not be started");
}

namespace {

// The login-item Connector as the login-item backend runs it, from any bundle of this user.
bool isLoginItemConnector(std::string executable) {
  const std::string deleted = " (deleted)";
  if (executable.size() > deleted.size() &&
      executable.compare(executable.size() - deleted.size(), deleted.size(), deleted) == 0) {
    executable.resize(executable.size() - deleted.size());
  }
  const std::string tail = ".app/" + std::string(connector::loginItemBundle) + "/" +
                           std::string(connector::loginItemExecutable);
  return executable.size() > tail.size() &&
         executable.compare(executable.size() - tail.size(), tail.size(), tail) == 0;
}

// The Connector is the one this session reaches on its loopback: a copy in another network
// namespace (another session's, or a test's) is not it.
bool sameNetwork(const std::string& folder, const struct stat& ours) {
  struct stat theirs {};
  return ::stat((folder + "/ns/net").c_str(), &theirs) == 0 && theirs.st_ino == ours.st_ino &&
         theirs.st_dev == ours.st_dev;
}

std::vector<pid_t> runningConnectors() {
  std::vector<pid_t> found;
  struct stat network {};
  if (::stat("/proc/self/ns/net", &network) != 0) {
    return found;
  }
  for (pid_t pid : platform::linux_desktop::ownProcesses()) {
    const std::string folder = "/proc/" + std::to_string(pid);
    char target[4096];
    ssize_t length = ::readlink((folder + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0 && isLoginItemConnector(std::string(target, static_cast<std::size_t>(length))) &&
        sameNetwork(folder, network)) {
      found.push_back(pid);
    }
  }
  return found;
}

}  // namespace

int launchctl(const Arguments& a) {
  if (a.size() != 2 || a[0] != "bootout") {
    return usage;
  }
  const std::string domain = "gui/" + std::to_string(::getuid()) + "/";
  if (a[1] != domain + std::string(connector::legacyLaunchdLabel)) {
    return fail("launchctl", "no such service");  // another user's, or a job we do not run
  }
  auto copies = runningConnectors();
  if (copies.empty()) {
    return fail("launchctl", "not running");
  }
  for (pid_t pid : copies) {
    ::kill(pid, SIGTERM);
  }
  // Like a job's exit timeout: ask, wait a little, then insist.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!runningConnectors().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (pid_t pid : runningConnectors()) {
    ::kill(pid, SIGKILL);
  }
  return 0;
}

int runTool(const std::string& tool, const Arguments& arguments, const std::string& rootPem) {
  if (tool == "hdiutil") {
    return hdiutil(arguments);
  }
  if (tool == "codesign") {
    return codesign(arguments, rootPem);
  }
  if (tool == "spctl") {
    return spctl(arguments);
  }
  if (tool == "ditto") {
    return ditto(arguments);
  }
  if (tool == "xattr") {
    return xattr(arguments);
  }
  if (tool == "open") {
    return open(arguments);
  }
  if (tool == "launchctl") {
    return launchctl(arguments);
  }
  return usage;
}

}  // namespace tarnwick::update_tools
