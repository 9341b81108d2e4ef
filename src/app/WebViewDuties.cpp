// The web view's navigation and UI duties. Until they are built, every page request is refused.
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

void TarnwickAppDelegate::webViewDidFailNavigation() {}
void TarnwickAppDelegate::webViewDidFailProvisionalNavigation() {}
void TarnwickAppDelegate::webViewWebContentProcessDidTerminate() {}

void TarnwickAppDelegate::webViewRunJavaScriptAlert(const std::string&, const platform::FrameInfo&,
                                                    std::function<void()> completion) {
  completion();
}

void TarnwickAppDelegate::webViewRunJavaScriptConfirm(const std::string&,
                                                      const platform::FrameInfo&,
                                                      std::function<void(bool)> completion) {
  completion(false);
}

void TarnwickAppDelegate::webViewRunOpenPanel(
    const platform::OpenPanelParameters&, const platform::FrameInfo&,
    std::function<void(std::optional<platform::FileList>)> completion) {
  completion(std::nullopt);
}

void TarnwickAppDelegate::webViewCreateWebView(const platform::NavigationAction&) {}

void TarnwickAppDelegate::webViewRequestMediaCapturePermission(const platform::SecurityOrigin&,
                                                               const platform::FrameInfo&,
                                                               platform::MediaCaptureType,
                                                               std::function<void(bool)> decision) {
  decision(false);
}

}  // namespace tarnwick::app
