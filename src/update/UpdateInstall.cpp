// Download, verification and the installer hand-off of an update.
#include "app/TarnwickAppDelegate.h"
#include "update/TarnwickRelease.h"

namespace tarnwick::app {

// Not built yet: "Install and Relaunch" reaches this empty step and nothing is downloaded.
void TarnwickAppDelegate::installUpdate(const update::TarnwickRelease& /*release*/,
                                        const std::string& /*downloadURL*/,
                                        const std::filesystem::path& /*destination*/) {}

}  // namespace tarnwick::app
