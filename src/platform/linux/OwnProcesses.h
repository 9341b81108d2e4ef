#pragma once

// The processes of this account, as /proc lists them: the only ones the shell may take for its
// own (another account's look-alike is never stopped, asked or counted).

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::platform::linux_desktop {

inline std::vector<pid_t> ownProcesses() {
  struct CloseDir {
    void operator()(DIR* folder) const { ::closedir(folder); }
  };
  std::vector<pid_t> found;
  std::unique_ptr<DIR, CloseDir> proc(::opendir("/proc"));
  const uid_t user = ::getuid();
  while (dirent* entry = proc ? ::readdir(proc.get()) : nullptr) {
    const std::string name = entry->d_name;
    struct stat info {};
    if (!name.empty() && std::ranges::all_of(name, [](char c) { return c >= '0' && c <= '9'; }) &&
        ::stat(("/proc/" + name).c_str(), &info) == 0 && info.st_uid == user) {
      found.push_back(static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10)));
    }
  }
  return found;
}

}  // namespace tarnwick::platform::linux_desktop
