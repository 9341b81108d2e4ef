#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::support {

// The executable's command-line support-control mode: one command, one result code.
class TarnwickSupportControl {
 public:
  static constexpr const char* prefix = "--tarnwick-support-";

  // Nothing when the arguments ask for no support-control command.
  static std::optional<std::int32_t> runIfRequested(const std::vector<std::string>& arguments);
};

}  // namespace tarnwick::support
