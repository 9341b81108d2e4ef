#pragma once

#include <string_view>

// What the shell relies on from the remote service host.
namespace tarnwick::service {

inline constexpr std::string_view host = "tarnwick.com";

inline constexpr std::string_view latestReleaseURL = "https://tarnwick.com/support/mac/latest.json";
inline constexpr std::string_view downloadPath = "/support/mac/download";
// Invitation redemption: POST "{}" as JSON to an address on the host whose path is this prefix,
// one or more of A-Z, a-z, 0-9, "_" and "-", and this suffix.
inline constexpr std::string_view redemptionPathPrefix = "/support/install/";
inline constexpr std::string_view redemptionPathSuffix = "/pair";

inline constexpr double manifestTimeoutSeconds = 10.0;
inline constexpr double downloadTimeoutSeconds = 600.0;
inline constexpr double redemptionTimeoutSeconds = 25.0;

}  // namespace tarnwick::service
