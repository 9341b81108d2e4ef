// Deep-link routing.
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

void TarnwickAppDelegate::applicationOpenURLs(const std::vector<std::string>&) {}
void TarnwickAppDelegate::redeemInvite(const std::string&) {}

}  // namespace tarnwick::app
