// The self-update check and its one-button message sheet. Until the check is built, it does
// nothing.
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

void TarnwickAppDelegate::checkForUpdates(bool /*manual*/) {}

void TarnwickAppDelegate::showUpdateMessage(const std::string& title, const std::string& message) {
  if (!window_) {
    return;
  }
  window_->beginSheet(platform::Alert{.messageText = title,
                                      .informativeText = message,
                                      .style = platform::AlertStyle::informational,
                                      .buttons = {"OK"}},
                      [](std::optional<std::size_t>) {});
}

}  // namespace tarnwick::app
