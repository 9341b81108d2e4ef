#pragma once

#include <string>
#include <string_view>

namespace tarnwick::app {

// "&", then "<", then ">": in this order an "&" produced by a later step is never escaped twice.
std::string escapeStatusMessage(std::string_view message);

// The whole status page document for one message.
std::string statusPageHTML(std::string_view message);

}  // namespace tarnwick::app
