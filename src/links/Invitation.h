#pragma once

#include <optional>
#include <string_view>

#include "links/Url.h"

namespace tarnwick::links {

inline constexpr std::string_view invitationHost = "desktop-invite";

// The redemption URL carried by a setup invitation link (host "desktop-invite"), taken from the
// first query item named "invite" and decoded; nothing when the link is not one or the redemption
// URL is not an https address on the service host with a redemption path. The redemption URL's
// port and query are not examined and go with it unchanged.
std::optional<Url> invitationURL(const Url& link);

// The checks a redemption URL must pass on its own.
bool isRedemptionURL(const Url& url);

}  // namespace tarnwick::links
