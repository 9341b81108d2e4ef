#pragma once

// Walking a bundle without ever following a symbolic link: every entry is opened relative to its
// parent folder's descriptor with O_NOFOLLOW, so a link planted in the tree cannot redirect a
// read or a write elsewhere.

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace tarnwick::update_tools {

// Limits on what a bundle may hold; a tree past them is refused rather than walked.
inline constexpr std::size_t maxTreeEntries = 200'000;
inline constexpr int maxTreeDepth = 64;
inline constexpr std::size_t maxLinkTarget = 4096;

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();

 private:
  int fd_ = -1;
};

struct TreeEntry {
  int parentFd;             // the folder holding the entry
  const std::string& name;  // its name in that folder ("." for the root)
  const std::string& path;  // relative to the root, "." for the root itself
  const struct stat& info;  // lstat-style: a link is a link
  int depth;                // 0 for the root
};

enum class Visit { descend, skip, stop };

// Calls `visit` for the root and every entry below it, parents before children, each folder's
// entries in name order. Folders are descended into only when `visit` answers `descend`. False
// when the walk stopped, a limit was passed, or something could not be read.
bool walkTree(int rootFd, const std::function<Visit(const TreeEntry&)>& visit);

// Opens a folder (the path's last component must not be a link).
Fd openFolder(const std::string& path);
Fd openFolderAt(int parentFd, const std::string& name);

// Reads a regular file of at most `limit` bytes, the name not followed if it is a link.
std::optional<std::string> readFileAt(int parentFd, const std::string& name, std::size_t limit);

// A link's target, bounded.
std::optional<std::string> readLinkAt(int parentFd, const std::string& name);

// Whether a relative link at `linkPath` (relative to the root) points inside the root, read
// lexically: an absolute or empty target, one that climbs above the root, or one with ".." after
// a name does not.
bool linkStaysInside(const std::string& linkPath, const std::string& target);

// Removes everything inside the folder, making folders writable on the way as their owner may.
bool removeContents(int folderFd);

// A name that is one plain path component.
bool isPlainName(const std::string& name);

}  // namespace tarnwick::update_tools
