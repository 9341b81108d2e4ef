#include "bridge/UnlockRequest.h"

#include <nlohmann/json.hpp>

#include "connector/ConnectorContract.h"

namespace tarnwick::bridge {

namespace {

constexpr std::size_t shortestIdentifier = 8;
constexpr std::size_t longestIdentifier = 100;

bool isIdentifierCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Whether no array or object in `text` opens deeper than `limit`, counting brackets outside
// strings. Not a JSON check: the parser that follows judges the rest.
bool nestsWithin(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        return false;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

bool isUnlockRequestIdentifier(std::string_view identifier) {
  if (identifier.size() < shortestIdentifier || identifier.size() > longestIdentifier) {
    return false;
  }
  for (char c : identifier) {
    if (!isIdentifierCharacter(c)) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> unlockRequestIdentifier(std::string_view body) {
  if (body.size() > unlockMessageMaximumBytes || !nestsWithin(body, unlockMessageMaximumDepth)) {
    return std::nullopt;
  }
  // Without exceptions: text that is not JSON comes back discarded, which is not an object.
  auto document = nlohmann::json::parse(body, nullptr, false);
  if (!document.is_object()) {
    return std::nullopt;
  }
  auto member = document.find("request_id");
  if (member == document.end() || !member->is_string()) {
    return std::nullopt;
  }
  const auto& identifier = member->get_ref<const std::string&>();
  if (!isUnlockRequestIdentifier(identifier)) {
    return std::nullopt;
  }
  return identifier;
}

std::optional<std::string> financialUnlockScript(const std::string& requestID, bool accepted) {
  nlohmann::json detail = {{"request_id", requestID}, {"ok", accepted}};
  std::string text;
  try {
    // Compact; text that is not UTF-8 is refused rather than replaced.
    text = detail.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  return "window.dispatchEvent(new CustomEvent('" + std::string(connector::unlockEventName) +
         "',{detail:" + text + "}));";
}

}  // namespace tarnwick::bridge
