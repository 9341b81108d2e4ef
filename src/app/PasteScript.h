#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::app {

// The page script that inserts `text` into the focused field, or nothing when the text cannot be
// embedded safely (it is not valid UTF-8).
std::optional<std::string> pasteScript(std::string_view text);

}  // namespace tarnwick::app
