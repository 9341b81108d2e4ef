#include "platform/OwnAccountFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace tarnwick::platform {

namespace fs = std::filesystem;

namespace {

// The kernel gives up on more links than this in one path; so do we.
constexpr int maxLinks = 40;

bool trustedOwner(const struct stat& info, uid_t user) {
  return info.st_uid == user || info.st_uid == 0;
}

bool writableByOthers(const struct stat& info) {
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
    return false;
  }
  return !(S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0);
}

// The names of `path`, last first, so the next one to resolve is at the back.
void pushNames(const fs::path& path, std::vector<std::string>& pending) {
  std::vector<std::string> names;
  for (const auto& name : path.relative_path()) {
    names.push_back(name.string());
  }
  pending.insert(pending.end(), names.rbegin(), names.rend());
}

}  // namespace

bool onlyOwnerOrRootCanChange(const fs::path& path, uid_t user) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) {
    return false;
  }
  struct stat info {};
  if (::lstat("/", &info) != 0 || !trustedOwner(info, user) || writableByOthers(info)) {
    return false;
  }
  // `at` is always a real folder, checked, with no link in it.
  fs::path at = "/";
  std::vector<std::string> pending;
  pushNames(absolute, pending);
  int links = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.back());
    pending.pop_back();
    if (name.empty() || name == ".") {
      continue;
    }
    if (name == "..") {
      at = at.parent_path();
      continue;
    }
    fs::path next = at / name;
    if (::lstat(next.c_str(), &info) != 0 || !trustedOwner(info, user)) {
      return false;
    }
    if (S_ISLNK(info.st_mode)) {
      auto target = fs::read_symlink(next, error);
      if (error || ++links > maxLinks) {
        return false;
      }
      if (target.is_absolute()) {
        at = "/";
      }
      pushNames(target, pending);
      continue;
    }
    if (writableByOthers(info)) {
      return false;
    }
    at = next;
  }
  return true;
}

bool makePrivateFolder(const fs::path& path) {
  if (!onlyOwnerOrRootCanChange(path.parent_path(), ::getuid()) ||
      ::mkdir(path.c_str(), 0700) != 0) {
    return false;
  }
  // What was made is what is checked: opened without following a link, as this user's and
  // closed to everyone else.
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat info {};
  bool made = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
              (info.st_mode & 077) == 0;
  ::close(fd);
  return made;
}

std::optional<std::string> readOwnFile(const fs::path& path, uid_t user, std::size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return std::nullopt;
  }
  struct stat info {};
  std::optional<std::string> text;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == user &&
      (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
      static_cast<std::size_t>(info.st_size) <= limit) {
    text.emplace();
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text->size() <= limit) {
      text->append(buffer, static_cast<std::size_t>(got));
    }
    if (got < 0 || text->size() > limit) {
      text.reset();
    }
  }
  ::close(fd);
  return text;
}

}  // namespace tarnwick::platform
