#include "links/Invitation.h"

#include <algorithm>

#include "links/SchemeFamily.h"
#include "service/ServiceContract.h"

namespace tarnwick::links {

namespace {

// "/support/install/", one or more of A-Z, a-z, 0-9, "_" and "-", then "/pair" and nothing more;
// checked by characters so that a path of any length costs linear time.
bool isRedemptionPath(std::string_view path) {
  auto prefix = service::redemptionPathPrefix;
  auto suffix = service::redemptionPathSuffix;
  if (path.size() <= prefix.size() + suffix.size() || !path.starts_with(prefix) ||
      !path.ends_with(suffix)) {
    return false;
  }
  auto installCode = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  return std::ranges::all_of(installCode, [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

}  // namespace

bool isRedemptionURL(const Url& url) {
  return url.scheme() && asciiLowercase(*url.scheme()) == "https" && url.host() &&
         asciiLowercase(*url.host()) == service::host && !url.user() && !url.password() &&
         !url.fragment() && isRedemptionPath(url.path());
}

std::optional<Url> invitationURL(const Url& link) {
  if (!isTarnwickScheme(link)) {
    return std::nullopt;
  }
  if (!link.host() || asciiLowercase(*link.host()) != invitationHost) {
    return std::nullopt;
  }
  const auto& items = link.queryItems();
  auto invite = std::ranges::find(items, std::string_view("invite"), &QueryItem::name);
  if (invite == items.end() || !invite->value) {
    return std::nullopt;
  }
  auto redemption = Url::parse(*invite->value);
  if (!redemption || !isRedemptionURL(*redemption)) {
    return std::nullopt;
  }
  return redemption;
}

}  // namespace tarnwick::links
