#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace tarnwick::platform {

struct InfoAbsent {
  bool operator==(const InfoAbsent&) const = default;
};
struct InfoOther {  // present, but not a string
  bool operator==(const InfoOther&) const = default;
};
using InfoValue = std::variant<InfoAbsent, std::string, InfoOther>;

// The application bundle this process runs from. Run from elsewhere there is no bundle: the path
// and identifier are absent and every Info value is absent.
class Bundle {
 public:
  virtual ~Bundle() = default;

  virtual std::optional<std::filesystem::path> bundlePath() = 0;
  virtual std::optional<std::string> bundleIdentifier() = 0;
  virtual InfoValue infoValue(const std::string& key) = 0;
  // An Info value of another bundle, the one at `bundle` (absent when it has no readable Info).
  // Any thread.
  virtual InfoValue infoValueAt(const std::filesystem::path& bundle, const std::string& key) = 0;
};

}  // namespace tarnwick::platform
