// The web view's navigation and UI duties: recovering from failed loads and a dead page process,
// and honouring page dialogs, file pickers and media access only for the Connector's own page.
#include "app/FrameTrust.h"
#include "app/PageDialogs.h"
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

namespace {

constexpr std::string_view reconnectingMessage = "Reconnecting to Tarnwick\u2026";
constexpr std::string_view processEndedMessage =
    "Tarnwick voice stopped unexpectedly. Reopening\u2026";
constexpr platform::Seconds reopenDelay{0.75};
constexpr std::size_t firstButton = 0;

}  // namespace

// The error is not examined: a cancelled load takes the same path as a broken one.
void TarnwickAppDelegate::webViewDidFailNavigation() {
  attempts_ = 0;
  showStatus(std::string(reconnectingMessage));
  pollConnector();
}

void TarnwickAppDelegate::webViewDidFailProvisionalNavigation() {
  attempts_ = 0;
  showStatus(std::string(reconnectingMessage));
  pollConnector();
}

void TarnwickAppDelegate::webViewWebContentProcessDidTerminate() {
  attempts_ = 0;
  showStatus(std::string(processEndedMessage));
  platform_.mainQueue.asyncAfter(reopenDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->connect();
    }
  });
}

void TarnwickAppDelegate::webViewRunJavaScriptAlert(const std::string& message,
                                                    const platform::FrameInfo& frame,
                                                    std::function<void()> completion) {
  if (!isTrustedFrame(frame) || !window_) {
    completion();
    return;
  }
  // The page's script waits until the sheet ends, whatever ended it.
  window_->beginSheet(alertSheet(message), [completion = std::move(completion)](
                                               std::optional<std::size_t>) { completion(); });
}

void TarnwickAppDelegate::webViewRunJavaScriptConfirm(const std::string& message,
                                                      const platform::FrameInfo& frame,
                                                      std::function<void(bool)> completion) {
  if (!isTrustedFrame(frame) || !window_) {
    completion(false);
    return;
  }
  window_->beginSheet(confirmSheet(message),
                      [completion = std::move(completion)](std::optional<std::size_t> button) {
                        completion(button == firstButton);
                      });
}

void TarnwickAppDelegate::webViewRunOpenPanel(
    const platform::OpenPanelParameters& parameters, const platform::FrameInfo& frame,
    std::function<void(std::optional<platform::FileList>)> completion) {
  if (!isTrustedFrame(frame) || !window_) {
    completion(std::nullopt);
    return;
  }
  window_->beginOpenPanel(true, parameters.allowsDirectories, parameters.allowsMultipleSelection,
                          [completion = std::move(completion)](
                              std::optional<platform::FileList> files) { completion(files); });
}

void TarnwickAppDelegate::webViewCreateWebView(const platform::NavigationAction& action) {
  // The page never gets a second window; web links go to the user's browser instead.
  if (action.url && opensInBrowser(*action.url)) {
    platform_.workspace.openURL(*action.url);
  }
}

void TarnwickAppDelegate::webViewRequestMediaCapturePermission(
    const platform::SecurityOrigin& origin, const platform::FrameInfo& frame,
    platform::MediaCaptureType /*type*/, std::function<void(bool)> decision) {
  decision(isTrustedFrame(frame) && isConnectorOrigin(origin));
}

}  // namespace tarnwick::app
