#pragma once

#include <optional>
#include <string_view>

#include "links/Url.h"

namespace tarnwick::links {

inline constexpr std::string_view localPairingHost = "desktop-pair";

// The Connector's pairing page for a local pairing link (host "desktop-pair"), whose query items
// "server", "code", "completion_url" and "completion_token" are the builder's parameters (first
// item of a name wins; a missing item or one without a value is the empty text). Nothing when the
// link is not one or the builder refuses its parameters.
std::optional<Url> localPairingURL(const Url& link);

// http://127.0.0.1:8766/support?server=…&code=…&completion_url=…&completion_token=…, or nothing
// unless the server is an https URL with a host, the completion URL an https URL on the service
// host, and the upper-cased code eight characters of A-Z and 2-9. Pure; safe on any thread.
//
// Values are escaped so that every reader of the query gets them back intact, whether or not it
// takes "+" for a space: only the unreserved characters and ":", "@" and "/" stay as they are;
// everything else, "?", "&", "=", "+", "#", "%", ";" and the space among them, becomes %XX.
std::optional<Url> makeLocalPairingURL(std::string_view server, std::string_view code,
                                       std::string_view completionURL,
                                       std::string_view completionToken);

// The escaping above, for one query name or value.
std::string encodeQueryComponent(std::string_view text);

}  // namespace tarnwick::links
