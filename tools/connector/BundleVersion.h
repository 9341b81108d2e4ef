#pragma once

#include <optional>
#include <string>

namespace tarnwick::standin {

// The CFBundleShortVersionString of the bundle this program runs from (X.app/Contents/MacOS/…),
// so that a re-versioned bundle's Connector names the bundle's version; nothing outside a bundle.
std::optional<std::string> ownBundleVersion();

}  // namespace tarnwick::standin
