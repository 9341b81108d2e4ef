#pragma once

#include <string>
#include <string_view>

#include "platform/Application.h"

namespace tarnwick::app {

// True when the page's message mentions "full access" in any letter case, folded as the user's
// locale folds case.
bool isFullAccessRequest(std::string_view message);

// The sheet for a page alert: one "OK" button.
platform::Alert alertSheet(const std::string& message);
// The sheet for a page confirm: a warning with "Enable Full Access" for a full-access request,
// otherwise "Continue"; "Cancel" second.
platform::Alert confirmSheet(const std::string& message);

// New-window requests leave the shell only for the web's own schemes, exactly "http" or "https".
bool opensInBrowser(std::string_view url);

}  // namespace tarnwick::app
