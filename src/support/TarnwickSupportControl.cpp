#include "support/TarnwickSupportControl.h"

namespace tarnwick::support {

std::optional<std::int32_t> TarnwickSupportControl::runIfRequested(
    const std::vector<std::string>& arguments) {
  if (arguments.size() < 2 || !arguments[1].starts_with(prefix)) {
    return std::nullopt;
  }
  return 2;  // no commands are recognised yet
}

}  // namespace tarnwick::support
