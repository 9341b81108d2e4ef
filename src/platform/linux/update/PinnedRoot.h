#pragma once

#include <string>

namespace tarnwick::update_tools {

// The root certificate (PEM) every release signature must chain to, fixed when this program was
// built: never read from what is being verified.
const std::string& pinnedRoot();

}  // namespace tarnwick::update_tools
