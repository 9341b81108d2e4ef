#include "connector/ConnectorHealth.h"

#include <charconv>
#include <limits>

#include "connector/ConnectorContract.h"

namespace tarnwick::connector {

namespace {

constexpr int healthyStatus = 200;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isSpace(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

HealthVerdict judgeHealth(const platform::HttpResponse& response, std::string_view signature,
                          std::uint32_t ownAccount) {
  if (response.transportError || response.status != healthyStatus ||
      response.peerAccount != ownAccount) {
    return {};
  }
  std::string server = response.header("Server").value_or("");
  bool healthy = server.find(signature) != std::string::npos;
  bool anyVersion = server.find(signaturePrefix) != std::string::npos;
  return {.healthy = healthy, .stale = anyVersion && !healthy};
}

std::optional<std::int32_t> parseProcessId(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars would take a second sign or stop early; insist on digits only.
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::int64_t magnitude = 0;
  constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (char digit : text) {
    magnitude = magnitude * 10 + (digit - '0');
    if (magnitude > limit) {
      return std::nullopt;
    }
  }
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max() ||
      value < std::numeric_limits<std::int32_t>::min()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

std::vector<std::int32_t> listenerProcessIds(std::string_view output) {
  std::vector<std::int32_t> ids;
  while (!output.empty()) {
    auto end = output.find('\n');
    auto line = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    auto id = parseProcessId(trimmed(line));
    // Never 0 (this process group), 1 (init) or a negative (a whole process group).
    if (id && *id > 1) {
      ids.push_back(*id);
    }
  }
  return ids;
}

}  // namespace tarnwick::connector
