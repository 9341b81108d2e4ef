// A release manifest from the network, decoded and judged by the trust rules.
#include <cstddef>
#include <cstdint>
#include <string>

#include "links/Url.h"
#include "update/ReleaseManifest.h"

namespace {

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  auto release = tarnwick::update::decodeRelease(body);
  if (!release) {
    return 0;
  }
  auto trusted = tarnwick::update::trustedDownloadURL(*release);
  if (trusted) {
    // Trusted means: the address as written, on the service host over https, with a plain
    // three-number version and a lowercase digest.
    require(*trusted == release->downloadURL);
    auto url = tarnwick::links::Url::parse(*trusted);
    require(url && url->host() && tarnwick::links::asciiLowercase(*url->host()) == "tarnwick.com");
    require(!url->query() && !url->fragment() && !url->user());
    require(release->sha256.size() == 64);
    require(release->version.find_first_not_of("0123456789.") == std::string::npos);
  }
  require(!tarnwick::update::isNewerVersion(release->version, release->version));
  return 0;
}
