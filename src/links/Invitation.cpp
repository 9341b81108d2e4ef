#include "links/Invitation.h"

#include <algorithm>
#include <regex>

#include "links/SchemeFamily.h"
#include "service/ServiceContract.h"

namespace tarnwick::links {

bool isRedemptionURL(const Url& url) {
  static const std::regex redemptionPath{std::string(service::redemptionPathPattern)};
  return url.scheme() && asciiLowercase(*url.scheme()) == "https" && url.host() &&
         asciiLowercase(*url.host()) == service::host && !url.user() && !url.password() &&
         !url.fragment() && std::regex_match(url.path(), redemptionPath);
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
