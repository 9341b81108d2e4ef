#pragma once

#include <string_view>

#include "links/Url.h"

namespace tarnwick::links {

inline constexpr std::string_view plaidCompletionHost = "plaid-complete";

// The return link of the bank-link flow: our scheme, host "plaid-complete" in any case, no user,
// password, query or fragment (not even empty ones) and an empty path or "/". The port is not
// examined.
bool plaidCompletionURL(const Url& url);

}  // namespace tarnwick::links
