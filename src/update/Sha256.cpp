#include "update/Sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace tarnwick::update {

namespace {

constexpr std::size_t chunkSize = 1 << 20;

struct Descriptor {
  int fd;
  ~Descriptor() { ::close(fd); }  // close errors change nothing about what was read
};

}  // namespace

std::optional<std::string> sha256(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  Descriptor descriptor{fd};
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  std::vector<unsigned char> buffer(chunkSize);
  for (;;) {
    ssize_t count = ::read(descriptor.fd, buffer.data(), buffer.size());
    if (count == 0) {
      break;
    }
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      // A file that stops reading part-way has no digest; a partial one would only mislead.
      return std::nullopt;
    }
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count)) != 1) {
      return std::nullopt;
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    return std::nullopt;
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int index = 0; index < length; ++index) {
    text.push_back(hex[digest[index] >> 4]);
    text.push_back(hex[digest[index] & 0x0F]);
  }
  return text;
}

}  // namespace tarnwick::update
