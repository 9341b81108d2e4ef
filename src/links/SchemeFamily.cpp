#include "links/SchemeFamily.h"

#include <algorithm>

namespace tarnwick::links {

bool isTarnwickScheme(const Url& url) {
  // A character check, not a pattern engine: it runs in linear time on a link of any length.
  constexpr std::string_view word = "tarnwick";
  std::string scheme = asciiLowercase(url.scheme().value_or(""));
  return scheme.starts_with(word) && std::all_of(scheme.begin() + word.size(), scheme.end(),
                                                 [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace tarnwick::links
