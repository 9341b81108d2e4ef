#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/HttpClient.h"

namespace tarnwick::connector {

struct HealthVerdict {
  // A Connector of exactly this build answers.
  bool healthy = false;
  // A Connector of some other version holds the port and must be stopped before the next start.
  bool stale = false;

  bool operator==(const HealthVerdict&) const = default;
};

// Judges one answer to the health request. Only status 200 from a socket of `ownAccount` counts,
// and the "Server" header must name `signature` (a plain substring test) to be healthy, or any
// Connector to be stale. A transfer that failed has no status, and another account's listener
// (or one whose owner is unknown) is a stranger, so neither is either.
HealthVerdict judgeHealth(const platform::HttpResponse& response, std::string_view signature,
                          std::uint32_t ownAccount);

// A whole signed 32-bit decimal number, with an optional sign and nothing around it.
std::optional<std::int32_t> parseProcessId(std::string_view text);

// The process ids worth signalling in the open-files lister's output: one candidate per line,
// white space trimmed, in the order listed; 0, 1, negatives and lines that are not a number are
// left out.
std::vector<std::int32_t> listenerProcessIds(std::string_view output);

}  // namespace tarnwick::connector
