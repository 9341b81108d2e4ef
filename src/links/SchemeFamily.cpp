#include "links/SchemeFamily.h"

#include <regex>

namespace tarnwick::links {

bool isTarnwickScheme(const Url& url) {
  static const std::regex family("tarnwick[0-9]*");
  return std::regex_match(asciiLowercase(url.scheme().value_or("")), family);
}

}  // namespace tarnwick::links
