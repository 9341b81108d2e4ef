#include "platform/linux/update/Seal.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/linux/update/FileTree.h"

namespace tarnwick::update_tools {

namespace {

constexpr std::size_t chunkSize = 1u << 20;
constexpr const char* sealHeader = "tarnwick-seal 1\n";

std::string hex(const unsigned char* bytes, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0f];
  }
  return text;
}

std::string octalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::optional<std::string> sha256OfDescriptor(int fd) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  // One buffer per thread: a bundle's thousand files should not cost a thousand fresh pages.
  thread_local std::vector<unsigned char> buffer(chunkSize);
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got)) != 1) {
      return std::nullopt;
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    return std::nullopt;
  }
  return hex(digest, length);
}

std::optional<std::string> infoString(int bundleFd, const std::string& key) {
  Fd contents = openFolderAt(bundleFd, "Contents");
  if (!contents) {
    return std::nullopt;
  }
  auto data = readFileAt(contents.get(), "Info.plist", maxInfoSize);
  if (!data) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(data->data(), static_cast<uint32_t>(data->size()), &root);
  if (!root) {
    return std::nullopt;
  }
  std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) {
    return std::nullopt;
  }
  plist_t node = plist_dict_get_item(root, key.c_str());
  if (!node || plist_get_node_type(node) != PLIST_STRING) {
    return std::nullopt;
  }
  // By pointer and length: libplist asserts, and so aborts, when asked to copy a string holding a
  // NUL, which any Info.plist may carry. No bundle means such a string; it counts as none.
  std::uint64_t length = 0;
  const char* value = plist_get_string_ptr(node, &length);
  if (!value || std::memchr(value, '\0', length) != nullptr) {
    return std::nullopt;
  }
  return std::string(value, length);
}

std::string sealField(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string field;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f && byte != '%') {
      field += c;
    } else {
      field += '%';
      field += digits[byte >> 4];
      field += digits[byte & 0x0f];
    }
  }
  return field;
}

std::optional<std::string> computeSeal(int bundleFd) {
  auto identifier = infoString(bundleFd, "CFBundleIdentifier");
  auto version = infoString(bundleFd, "CFBundleShortVersionString");
  if (!identifier || !version || identifier->empty() || version->empty()) {
    return std::nullopt;
  }
  std::vector<std::pair<std::string, std::string>> lines;  // path, line
  const std::string excluded = std::string("Contents/") + sealFolder;
  bool ok = walkTree(bundleFd, [&](const TreeEntry& entry) {
    if (entry.path == excluded) {
      return Visit::skip;  // the seal cannot cover itself
    }
    const auto& info = entry.info;
    std::string line;
    if (S_ISDIR(info.st_mode)) {
      line = "d " + octalMode(info.st_mode) + " 0 -";
    } else if (S_ISREG(info.st_mode)) {
      Fd file(::openat(entry.parentFd, entry.name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
      struct stat opened {};
      if (!file || ::fstat(file.get(), &opened) != 0 || opened.st_ino != info.st_ino ||
          opened.st_dev != info.st_dev) {
        return Visit::stop;
      }
      auto digest = sha256OfDescriptor(file.get());
      if (!digest) {
        return Visit::stop;
      }
      line =
          "f " + octalMode(opened.st_mode) + " " + std::to_string(opened.st_size) + " " + *digest;
    } else if (S_ISLNK(info.st_mode)) {
      auto target = readLinkAt(entry.parentFd, entry.name);
      if (!target) {
        return Visit::stop;
      }
      line = "l " + octalMode(info.st_mode) + " " + std::to_string(target->size()) + " " +
             sealField(*target);
    } else {
      return Visit::stop;  // devices, pipes and sockets have no place in a bundle
    }
    lines.emplace_back(entry.path, line + " " + sealField(entry.path) + "\n");
    return Visit::descend;
  });
  if (!ok) {
    return std::nullopt;
  }
  std::ranges::sort(lines, [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string seal = sealHeader;
  seal += "identifier " + sealField(*identifier) + "\n";
  seal += "version " + sealField(*version) + "\n";
  for (const auto& line : lines) {
    seal += line.second;
  }
  return seal;
}

}  // namespace tarnwick::update_tools
