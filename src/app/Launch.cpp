// Launch completion, reopen, reload and the status page.
#include <utility>

#include "app/ActivationChannel.h"
#include "app/StatusPage.h"
#include "app/TarnwickAppDelegate.h"
#include "connector/ConnectorContract.h"

namespace tarnwick::app {

namespace {

constexpr platform::WindowDescription mainWindow{.contentWidth = 1080, .contentHeight = 780};
constexpr int minimumWidth = 760;
constexpr int minimumHeight = 560;
constexpr platform::Seconds automaticUpdateCheckDelay{5.0};

}  // namespace

void TarnwickAppDelegate::applicationDidFinishLaunching() {
  auto& application = platform_.application;
  application.setActivationPolicyRegular();
  installMenu();

  platform::WebViewConfiguration configuration;
  configuration.scriptMessageHandlerNames = {std::string(connector::unlockMessageName)};
  configuration.drawsBackground = false;
  webView_ = application.makeWebView(configuration, weak_from_this());

  window_ = application.makeWindow(mainWindow);
  window_->setTitle("Tarnwick");
  window_->setMinSize(minimumWidth, minimumHeight);
  window_->setContentView(*webView_);
  window_->center();
  presentWindow();
  application.activate(true);

  if (pendingInviteURL_) {
    // The redemption shows its own progress page and connects once it succeeds.
    redeemInvite(*pendingInviteURL_);
  } else {
    showStatus("Connecting to Tarnwick\u2026");
    connect();
  }

  platform_.mainQueue.asyncAfter(automaticUpdateCheckDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->checkForUpdates(false);
    }
  });
}

bool TarnwickAppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
  bringWindowForward();
  if (webView_ && !webView_->url()) {
    connect();
  }
  return true;
}

void TarnwickAppDelegate::bringWindowForward() {
  if (window_) {
    presentWindow();
  }
  platform_.application.activate(true);
}

void TarnwickAppDelegate::presentWindow() {
  if (!startupToken_.empty()) {
    window_->setStartupToken(std::exchange(startupToken_, {}));
  }
  window_->makeKeyAndOrderFront();
}

void TarnwickAppDelegate::setStartupToken(std::string_view token) {
  startupToken_ = activation::isStartupToken(token) ? std::string(token) : std::string();
}

void TarnwickAppDelegate::handleActivation(const activation::Activation& activation) {
  // The other copy's token is for this request alone: a later presentation has none of its own.
  const bool launched = window_ != nullptr;
  if (launched) {
    setStartupToken(activation.token);
  }
  // A copy started with links hands over the links alone, as when the system opens a link in a
  // running application: a reopen would connect whenever a status page shows, and so replace an
  // invitation's outcome with the interface.
  if (activation.urls.empty()) {
    applicationShouldHandleReopen(false);
  } else {
    applicationOpenURLs(activation.urls);
  }
  if (launched) {
    startupToken_.clear();
  }
}

void TarnwickAppDelegate::showStatus(const std::string& message) {
  if (webView_) {
    webView_->loadHTMLString(statusPageHTML(message));
  }
}

void TarnwickAppDelegate::reload() {
  attempts_ = 0;
  connect();
}

}  // namespace tarnwick::app
