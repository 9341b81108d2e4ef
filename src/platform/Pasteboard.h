#pragma once

#include <optional>
#include <string>

namespace tarnwick::platform {

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // The general clipboard's plain-text value, when it holds one.
  virtual std::optional<std::string> plainText() = 0;
};

}  // namespace tarnwick::platform
