#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick::update {

// One published build, as the release manifest describes it. Copied by value from the check to
// the installer; the download address becomes usable only through the trust rules.
struct TarnwickRelease {
  std::string version;
  std::int64_t build = 0;
  std::string downloadURL;
  std::string sha256;
  std::optional<std::string> releaseNotes;

  bool operator==(const TarnwickRelease&) const = default;
};

}  // namespace tarnwick::update
