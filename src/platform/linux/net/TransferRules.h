#pragma once

// What the HTTP client lets go out and how its failures read, apart from the transfers themselves.

#include <curl/curl.h>

#include <string>
#include <string_view>

#include "platform/HttpClient.h"

namespace tarnwick::platform::linux_desktop::transfer_rules {

// A header name or method: an HTTP token, nothing that could end the line or the field.
bool isToken(std::string_view text);
bool isSafeHeaderValue(std::string_view value);
// Whether `headers` hold `name`, in any letter case.
bool hasHeader(const HeaderList& headers, std::string_view name);
// Without the spaces, tabs and line ends around it.
std::string_view trimmed(std::string_view text);

// The sentence a person reads when a transfer failed.
std::string sentenceFor(CURLcode code);
// A response that carries only why there is none.
HttpResponse failure(std::string sentence);

// Loopback stays on this machine whatever proxy the environment names.
std::string noProxyList();

}  // namespace tarnwick::platform::linux_desktop::transfer_rules
