// Page messages and the loaded interface.
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

void TarnwickAppDelegate::webViewDidFinishNavigation() {}
void TarnwickAppDelegate::webViewDidReceiveScriptMessage(const std::string&, const std::string&,
                                                         const platform::FrameInfo&) {}

}  // namespace tarnwick::app
