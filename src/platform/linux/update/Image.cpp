#include "platform/linux/update/Image.h"

#include <fcntl.h>
#include <sqfs/compressor.h>
#include <sqfs/data_reader.h>
#include <sqfs/dir_reader.h>
#include <sqfs/id_table.h>
#include <sqfs/inode.h>
#include <sqfs/io.h>
#include <sqfs/super.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/linux/update/FileTree.h"

namespace tarnwick::update_tools {

namespace {

constexpr sqfs_u32 chunkSize = 1u << 20;
// Sparse files make a small image expand to any size; no release comes near this.
constexpr sqfs_u64 maxExtractedBytes = sqfs_u64{8} << 30;

struct Destroy {
  void operator()(void* object) const { sqfs_destroy(object); }
};
struct DestroyTree {
  void operator()(sqfs_tree_node_t* root) const { sqfs_dir_tree_destroy(root); }
};

// The opened image and the readers over it.
struct Image {
  std::unique_ptr<sqfs_file_t, Destroy> file;
  sqfs_super_t super{};
  std::unique_ptr<sqfs_compressor_t, Destroy> compressor;
  std::unique_ptr<sqfs_id_table_t, Destroy> ids;
  std::unique_ptr<sqfs_dir_reader_t, Destroy> directories;
  std::unique_ptr<sqfs_data_reader_t, Destroy> data;
  std::unique_ptr<sqfs_tree_node_t, DestroyTree> root;

  bool open(const std::string& path) {
    file.reset(sqfs_open_file(path.c_str(), SQFS_FILE_OPEN_READ_ONLY));
    if (!file || sqfs_super_read(&super, file.get()) != 0) {
      return false;
    }
    sqfs_compressor_config_t config{};
    sqfs_compressor_t* made = nullptr;
    if (sqfs_compressor_config_init(&config, static_cast<SQFS_COMPRESSOR>(super.compression_id),
                                    super.block_size, SQFS_COMP_FLAG_UNCOMPRESS) != 0 ||
        sqfs_compressor_create(&config, &made) != 0) {
      return false;
    }
    compressor.reset(made);
    ids.reset(sqfs_id_table_create(0));
    if (!ids || sqfs_id_table_read(ids.get(), file.get(), &super, compressor.get()) != 0) {
      return false;
    }
    directories.reset(sqfs_dir_reader_create(&super, compressor.get(), file.get(), 0));
    data.reset(sqfs_data_reader_create(file.get(), super.block_size, compressor.get(), 0));
    if (!directories || !data || sqfs_data_reader_load_fragment_table(data.get(), &super) != 0) {
      return false;
    }
    sqfs_tree_node_t* tree = nullptr;
    if (sqfs_dir_reader_get_full_hierarchy(directories.get(), ids.get(), nullptr, 0, &tree) != 0) {
      return false;
    }
    root.reset(tree);
    return true;
  }
};

enum class Kind { folder, file, link, other };

Kind kindOf(const sqfs_inode_generic_t* inode) {
  switch (inode->base.type) {
    case SQFS_INODE_DIR:
    case SQFS_INODE_EXT_DIR:
      return Kind::folder;
    case SQFS_INODE_FILE:
    case SQFS_INODE_EXT_FILE:
      return Kind::file;
    case SQFS_INODE_SLINK:
    case SQFS_INODE_EXT_SLINK:
      return Kind::link;
    default:
      return Kind::other;
  }
}

std::string linkTarget(const sqfs_inode_generic_t* inode) {
  sqfs_u32 size = inode->base.type == SQFS_INODE_SLINK ? inode->data.slink.target_size
                                                       : inode->data.slink_ext.target_size;
  if (size > maxLinkTarget || size > inode->payload_bytes_used) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(inode->extra), size);
}

mode_t storedMode(const sqfs_inode_generic_t* inode) {
  return static_cast<mode_t>(inode->base.mode & 07777);
}

const char* nameOf(const sqfs_tree_node_t* node) {
  return reinterpret_cast<const char*>(node->name);
}

// Everything is checked before anything is written.
struct Totals {
  std::size_t entries = 0;
  sqfs_u64 bytes = 0;
};

bool acceptable(const sqfs_tree_node_t* node, const std::string& path, int depth, Totals& totals) {
  if (++totals.entries > maxTreeEntries || depth > maxTreeDepth) {
    return false;
  }
  const auto* inode = node->inode;
  if ((storedMode(inode) & (S_ISUID | S_ISGID)) != 0) {
    return false;
  }
  switch (kindOf(inode)) {
    case Kind::other:
      return false;
    case Kind::link: {
      auto target = linkTarget(inode);
      return target.find('\0') == std::string::npos && linkStaysInside(path, target);
    }
    case Kind::file: {
      sqfs_u64 size = 0;
      if (sqfs_inode_get_file_size(inode, &size) != 0 || size > maxExtractedBytes) {
        return false;
      }
      totals.bytes += size;
      return totals.bytes <= maxExtractedBytes;
    }
    case Kind::folder:
      for (const auto* child = node->children; child; child = child->next) {
        std::string name = nameOf(child);
        if (!isPlainName(name) ||
            !acceptable(child, path.empty() ? name : path + "/" + name, depth + 1, totals)) {
          return false;
        }
      }
      return true;
  }
  return false;
}

struct Times {
  struct timespec values[2];
  explicit Times(const sqfs_inode_generic_t* inode)
      : values{{static_cast<time_t>(inode->base.mod_time), 0},
               {static_cast<time_t>(inode->base.mod_time), 0}} {}
};

bool writeFile(Image& image, int parentFd, const sqfs_tree_node_t* node,
               std::vector<unsigned char>& buffer) {
  sqfs_u64 size = 0;
  if (sqfs_inode_get_file_size(node->inode, &size) != 0) {
    return false;
  }
  Fd file(
      ::openat(parentFd, nameOf(node), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) {
    return false;
  }
  for (sqfs_u64 offset = 0; offset < size;) {
    auto want = static_cast<sqfs_u32>(std::min<sqfs_u64>(chunkSize, size - offset));
    sqfs_s32 got =
        sqfs_data_reader_read(image.data.get(), node->inode, offset, buffer.data(), want);
    if (got <= 0) {
      return false;
    }
    for (sqfs_s32 written = 0; written < got;) {
      ssize_t n =
          ::write(file.get(), buffer.data() + written, static_cast<std::size_t>(got - written));
      if (n <= 0) {
        return false;
      }
      written += static_cast<sqfs_s32>(n);
    }
    offset += static_cast<sqfs_u64>(got);
  }
  // fchmod, not the creation mode: the umask must not change what the image says.
  if (::fchmod(file.get(), storedMode(node->inode)) != 0) {
    return false;
  }
  ::futimens(file.get(), Times(node->inode).values);
  return ::close(file.release()) == 0;
}

bool writeFolder(Image& image, int folderFd, const sqfs_tree_node_t* node,
                 std::vector<unsigned char>& buffer) {
  for (const auto* child = node->children; child; child = child->next) {
    const char* name = nameOf(child);
    switch (kindOf(child->inode)) {
      case Kind::folder: {
        if (::mkdirat(folderFd, name, 0700) != 0) {
          return false;
        }
        Fd sub = openFolderAt(folderFd, name);
        if (!sub || !writeFolder(image, sub.get(), child, buffer)) {
          return false;
        }
        // Its own mode last, so a read-only folder could still be filled.
        if (::fchmod(sub.get(), storedMode(child->inode)) != 0) {
          return false;
        }
        ::futimens(sub.get(), Times(child->inode).values);
        break;
      }
      case Kind::file:
        if (!writeFile(image, folderFd, child, buffer)) {
          return false;
        }
        break;
      case Kind::link:
        if (::symlinkat(linkTarget(child->inode).c_str(), folderFd, name) != 0) {
          return false;
        }
        ::utimensat(folderFd, name, Times(child->inode).values, AT_SYMLINK_NOFOLLOW);
        break;
      case Kind::other:
        return false;
    }
  }
  return true;
}

}  // namespace

bool attachImage(const std::string& imagePath, const std::string& mountPoint) {
  Fd mount = openFolder(mountPoint);
  if (!mount) {
    return false;
  }
  {
    bool empty = true;
    walkTree(mount.get(), [&](const TreeEntry& entry) {
      if (entry.depth == 0) {
        return Visit::descend;
      }
      empty = false;
      return Visit::stop;
    });
    if (!empty) {
      return false;
    }
  }
  Image image;
  Totals totals;
  if (!image.open(imagePath) || kindOf(image.root->inode) != Kind::folder ||
      !acceptable(image.root.get(), "", 0, totals)) {
    return false;
  }
  std::vector<unsigned char> buffer(chunkSize);
  if (!writeFolder(image, mount.get(), image.root.get(), buffer) ||
      ::fchmod(mount.get(), 0555) != 0) {
    removeContents(mount.get());
    return false;
  }
  return true;
}

bool detachImage(const std::string& mountPoint) {
  Fd mount = openFolder(mountPoint);
  if (!mount) {
    return false;
  }
  if (!removeContents(mount.get())) {
    return false;
  }
  return ::rmdir(mountPoint.c_str()) == 0;
}

}  // namespace tarnwick::update_tools
