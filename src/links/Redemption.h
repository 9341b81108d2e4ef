#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/HttpClient.h"

namespace tarnwick::links {

inline constexpr std::string_view redemptionProgressMessage =
    "Preparing your secure connection\u2026";
inline constexpr std::string_view redemptionDefaultMessage =
    "The setup link could not be prepared.";
inline constexpr std::string_view redemptionFailureSuffix =
    " Ask your Tarnwick for a new setup link.";

// POST "{}" as JSON to the redemption URL, 25 seconds, the default cache policy.
platform::HttpRequest redemptionRequest(const std::string& redemptionURL);

// What an answer means: the pairing page to open, or the sentence to show (suffix included).
struct RedemptionOutcome {
  std::optional<std::string> pairingURL;
  std::string failureMessage;
  bool operator==(const RedemptionOutcome&) const = default;
};

// Reads only its argument; runs on the HTTP loader thread.
RedemptionOutcome redemptionOutcome(const platform::HttpResponse& response);

}  // namespace tarnwick::links
