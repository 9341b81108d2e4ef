#include "platform/linux/update/FileTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace tarnwick::update_tools {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = other.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

namespace {

// The names in a folder, sorted, without "." and "..".
std::optional<std::vector<std::string>> listFolder(int folderFd) {
  int copy = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) {
    return std::nullopt;
  }
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return std::nullopt;
  }
  std::vector<std::string> names;
  bool ok = true;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    if (names.size() >= maxTreeEntries) {
      ok = false;
      break;
    }
    names.push_back(std::move(name));
  }
  ::closedir(dir);
  if (!ok) {
    return std::nullopt;
  }
  std::ranges::sort(names);
  return names;
}

struct Walk {
  const std::function<Visit(const TreeEntry&)>& visit;
  std::size_t count = 0;

  // False stops the whole walk.
  bool folder(int folderFd, const std::string& prefix, int depth) {
    if (depth > maxTreeDepth) {
      return false;
    }
    auto names = listFolder(folderFd);
    if (!names) {
      return false;
    }
    for (const auto& name : *names) {
      if (++count > maxTreeEntries) {
        return false;
      }
      struct stat info {};
      if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
      }
      std::string path = prefix == "." ? name : prefix + "/" + name;
      Visit next = visit(TreeEntry{folderFd, name, path, info, depth});
      if (next == Visit::stop) {
        return false;
      }
      if (next == Visit::descend && S_ISDIR(info.st_mode)) {
        Fd child = openFolderAt(folderFd, name);
        struct stat opened {};
        if (!child || ::fstat(child.get(), &opened) != 0 || opened.st_ino != info.st_ino ||
            opened.st_dev != info.st_dev) {
          return false;  // replaced while we looked
        }
        if (!folder(child.get(), path, depth + 1)) {
          return false;
        }
      }
    }
    return true;
  }
};

}  // namespace

bool walkTree(int rootFd, const std::function<Visit(const TreeEntry&)>& visit) {
  struct stat info {};
  if (::fstat(rootFd, &info) != 0) {
    return false;
  }
  const std::string dot = ".";
  Visit first = visit(TreeEntry{rootFd, dot, dot, info, 0});
  if (first == Visit::stop) {
    return false;
  }
  if (first == Visit::skip || !S_ISDIR(info.st_mode)) {
    return true;
  }
  Walk walk{visit};
  return walk.folder(rootFd, dot, 1);
}

Fd openFolder(const std::string& path) {
  return Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

Fd openFolderAt(int parentFd, const std::string& name) {
  return Fd(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::optional<std::string> readFileAt(int parentFd, const std::string& name, std::size_t limit) {
  Fd file(::openat(parentFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::size_t>(info.st_size) > limit) {
    return std::nullopt;
  }
  std::string data;
  data.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t got = ::read(file.get(), data.data() + done, data.size() - done);
    if (got <= 0) {
      return std::nullopt;  // shrank while read, or failed
    }
    done += static_cast<std::size_t>(got);
  }
  char extra = 0;
  if (::read(file.get(), &extra, 1) != 0) {
    return std::nullopt;  // grew while read
  }
  return data;
}

std::optional<std::string> readLinkAt(int parentFd, const std::string& name) {
  std::string target(maxLinkTarget + 1, '\0');
  ssize_t length = ::readlinkat(parentFd, name.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) > maxLinkTarget) {
    return std::nullopt;
  }
  target.resize(static_cast<std::size_t>(length));
  return target;
}

bool linkStaysInside(const std::string& linkPath, const std::string& target) {
  if (target.empty() || target.front() == '/') {
    return false;
  }
  // The link's own folder depth below the root.
  long depth = 0;
  for (std::size_t start = 0; start <= linkPath.size();) {
    auto end = linkPath.find('/', start);
    if (end == std::string::npos) {
      break;  // the last component is the link itself
    }
    auto part = linkPath.substr(start, end - start);
    if (!part.empty() && part != ".") {
      ++depth;
    }
    start = end + 1;
  }
  // ".." only before the first name: climbing out of a name that is itself a link would leave
  // from wherever that link points, which reading the text alone cannot tell. With this rule,
  // and every link checked, resolution climbs only through real folders and then descends.
  bool descended = false;
  for (std::size_t start = 0; start <= target.size();) {
    auto end = target.find('/', start);
    if (end == std::string::npos) {
      end = target.size();
    }
    auto part = target.substr(start, end - start);
    if (part == "..") {
      if (descended || --depth < 0) {
        return false;
      }
    } else if (!part.empty() && part != ".") {
      descended = true;
    }
    start = end + 1;
  }
  return true;
}

namespace {

bool removeInside(int folderFd, int depth) {
  if (depth > maxTreeDepth + 1) {
    return false;
  }
  auto names = listFolder(folderFd);
  if (!names) {
    return false;
  }
  bool ok = true;
  for (const auto& name : *names) {
    struct stat info {};
    if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      Fd child = openFolderAt(folderFd, name);
      if (!child) {
        // A folder its owner cannot read: open it up first.
        ::fchmodat(folderFd, name.c_str(), 0700, 0);
        child = openFolderAt(folderFd, name);
      }
      if (!child) {
        ok = false;
        continue;
      }
      ::fchmod(child.get(), 0700);
      ok = removeInside(child.get(), depth + 1) && ok;
      if (::unlinkat(folderFd, name.c_str(), AT_REMOVEDIR) != 0) {
        ok = false;
      }
    } else if (::unlinkat(folderFd, name.c_str(), 0) != 0) {
      ok = false;
    }
  }
  return ok;
}

}  // namespace

bool removeContents(int folderFd) {
  ::fchmod(folderFd, 0700);
  return removeInside(folderFd, 0);
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace tarnwick::update_tools
