#include "platform/HttpClient.h"

#include <algorithm>
#include <cctype>

namespace tarnwick::platform {

namespace {
bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}
}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) {
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick::platform
