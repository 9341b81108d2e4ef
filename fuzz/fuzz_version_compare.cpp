// Two version texts, split at the first zero byte, compared both ways.
#include <cstddef>
#include <cstdint>
#include <string>

#include "update/ReleaseManifest.h"

namespace {

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  auto split = input.find('\0');
  std::string first = input.substr(0, split);
  std::string second = split == std::string::npos ? "" : input.substr(split + 1);
  using tarnwick::update::isNewerVersion;
  bool newer = isNewerVersion(first, second);
  require(!(newer && isNewerVersion(second, first)));
  require(!isNewerVersion(first, first));
  // Missing pieces and empty pieces count as nothing, so neither changes the comparison.
  require(isNewerVersion(first + ".0", second) == newer);
  require(isNewerVersion("." + first + "..", second) == newer);
  return 0;
}
