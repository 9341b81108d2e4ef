// The self-update check. Until it is built, a check does nothing.
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

void TarnwickAppDelegate::checkForUpdates(bool /*manual*/) {}

}  // namespace tarnwick::app
