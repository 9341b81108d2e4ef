// The loaded interface and the window title (page messages: FinancialUnlock.cpp).
#include <boost/url/parse.hpp>

#include "app/TarnwickAppDelegate.h"
#include "bridge/LoadedInterface.h"

namespace tarnwick::app {

namespace {

bool isRootPage(const std::optional<std::string>& url) {
  if (!url) {
    return false;
  }
  auto parsed = boost::urls::parse_uri_reference(*url);
  return parsed && parsed->path() == "/";
}

}  // namespace

void TarnwickAppDelegate::webViewDidFinishNavigation() {
  // Once the interface root has loaded, later reconnections return to it rather than to an
  // earlier deep link.
  if (webView_ && isRootPage(webView_->url())) {
    targetURL_ = localURL_;
  }
  refreshTitle();
}

void TarnwickAppDelegate::loadedInterface(
    std::function<void(const std::optional<bridge::LoadedInterface>&)> completion) {
  if (!webView_) {
    completion(std::nullopt);
    return;
  }
  webView_->evaluateJavaScript(
      std::string(bridge::metaScrapeScript()),
      [completion = std::move(completion)](const std::optional<std::string>& result) {
        completion(result ? bridge::decodeLoadedInterface(*result) : std::nullopt);
      });
}

void TarnwickAppDelegate::refreshTitle() {
  loadedInterface(
      [weak = weak_from_this()](const std::optional<bridge::LoadedInterface>& interface) {
        auto self = weak.lock();
        if (!self || !self->window_) {
          return;
        }
        self->window_->setTitle(bridge::windowTitle(interface, self->currentVersion_));
      });
}

}  // namespace tarnwick::app
