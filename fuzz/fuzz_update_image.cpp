// The update image: every byte comes from the download server (so does the digest it is checked
// against), and the image is opened (extracted) before its signature is checked. Any bytes are
// attached as the updater attaches them, then the extracted bundle is checked as the updater checks
// it. Whatever the bytes, nothing is written beside the mount point; a refused image leaves it
// empty; an attached one holds only folders, files and links that stay inside it, none setuid or
// setgid; and detaching removes it all.
//
// Extraction writes into a small private tmpfs (when this runs as root) under a file-size limit,
// so an image that expands to gigabytes costs no more than a failed write.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "FuzzCheck.h"
#include "platform/linux/update/FileTree.h"
#include "platform/linux/update/Image.h"
#include "platform/linux/update/Tools.h"

using tarnwick::fuzz::require;
namespace fs = std::filesystem;
namespace tools = tarnwick::update_tools;

namespace {

constexpr rlim_t fileSizeLimit = 16u << 20;

std::string scratch;  // the private folder: box/mount and box/sibling
std::string box;
std::string mountPoint;
std::string sibling;
std::string root;  // the PEM root the seed seals chain to

std::set<std::string> names(const std::string& folder) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    found.insert(entry.path().filename().string());
  }
  return found;
}

bool inside(const fs::path& path, const fs::path& folder) {
  auto relative = path.lexically_relative(folder);
  return !relative.empty() && *relative.begin() != "..";
}

void cleanUp() {
  ::umount2(scratch.c_str(), MNT_DETACH);
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
}

// What the extracted tree holds, checked with the kernel's view of it rather than the extractor's.
void checkAttached() {
  struct stat info {};
  require(::lstat(mountPoint.c_str(), &info) == 0 && (info.st_mode & 07777) == 0555);
  const fs::path top = fs::canonical(mountPoint);
  std::size_t entries = 0;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(top, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    require(++entries <= tools::maxTreeEntries);
    require(it.depth() <= tools::maxTreeDepth);
    require(::lstat(it->path().c_str(), &info) == 0);
    require(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode) || S_ISLNK(info.st_mode));
    require((info.st_mode & (S_ISUID | S_ISGID)) == 0);
    if (S_ISLNK(info.st_mode)) {
      // Wherever the link leads, following every link on the way, is inside the mount point.
      std::error_code loop;
      auto target = fs::weakly_canonical(it->path(), loop);
      require(loop || inside(target, top));
    }
  }
  require(!error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit {};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > fileSizeLimit) {
    limit.rlim_cur = fileSizeLimit;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  char pattern[] = "/tmp/tarnwick-fuzz-image-XXXXXX";
  require(::mkdtemp(pattern) != nullptr);
  scratch = pattern;
  if (::unshare(CLONE_NEWNS) == 0 &&
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    ::mount("tmpfs", scratch.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0700");
  }
  std::atexit(cleanUp);
  box = scratch + "/box";
  mountPoint = box + "/mount";
  sibling = box + "/sibling";
  require(::mkdir(box.c_str(), 0700) == 0 && ::mkdir(sibling.c_str(), 0700) == 0 &&
          ::mkdir(mountPoint.c_str(), 0700) == 0);
  std::ifstream pem(TARNWICK_FUZZ_SEAL_ROOT, std::ios::binary);
  root.assign(std::istreambuf_iterator<char>(pem), std::istreambuf_iterator<char>());
  require(!root.empty());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The image as a file of its own, as the download would be, but only in memory.
  tools::Fd image(::memfd_create("image", MFD_CLOEXEC));
  require(static_cast<bool>(image));
  for (std::size_t done = 0; done < size;) {
    ssize_t wrote = ::write(image.get(), data + done, size - done);
    require(wrote > 0);
    done += static_cast<std::size_t>(wrote);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(image.get());

  bool attached = tools::attachImage(path, mountPoint);

  // Nothing beside the mount point, whatever happened inside it.
  require(names(scratch) == std::set<std::string>{"box"});
  require(names(box) == (std::set<std::string>{"mount", "sibling"}));
  require(names(sibling).empty());

  if (!attached) {
    require(names(mountPoint).empty());
    require(::rmdir(mountPoint.c_str()) == 0);
  } else {
    checkAttached();
    // The checks the updater runs next, on whatever was extracted.
    const std::string bundle = mountPoint + "/Tarnwick.app";
    if (fs::is_directory(fs::symlink_status(bundle))) {
      int sealed = tools::codesign({"--verify", "--deep", "--strict", "-R",
                                    "=anchor apple generic and identifier "
                                    "\"com.ostrel.tarnwick.launcher\" and certificate "
                                    "leaf[subject.OU] = \"K7QW3ZTN8R\"",
                                    bundle},
                                   root);
      require(sealed == 0 || sealed == 1);
      int runs = tools::spctl({"--assess", "--type", "execute", bundle});
      require(runs == 0 || runs == 1);
    }
    require(tools::detachImage(mountPoint));
    require(!fs::exists(fs::symlink_status(mountPoint)));
  }
  require(::mkdir(mountPoint.c_str(), 0700) == 0);
  return 0;
}
