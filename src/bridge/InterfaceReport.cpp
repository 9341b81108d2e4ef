// The interface check that ends a manual update check: ask the Connector about the interface the
// page carries, then offer a reload or say where things stand.
#include "app/TarnwickAppDelegate.h"
#include "bridge/InterfaceCheck.h"
#include "bridge/LoadedInterface.h"
#include "connector/ConnectorContract.h"

namespace tarnwick::app {

namespace {

constexpr platform::Seconds interfaceCheckTimeout{60.0};

}  // namespace

void TarnwickAppDelegate::reportInterface(const std::string& macAppNote) {
  loadedInterface([weak = weak_from_this(),
                   note = macAppNote](const std::optional<bridge::LoadedInterface>& page) {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    // Without the page's token the Connector would refuse the question, so it is not asked.
    if (!page || page->csrf.empty()) {
      auto message = bridge::interfaceNotReadyMessage(note);
      self->showUpdateMessage(message.title, message.message);
      return;
    }
    platform::HttpRequest request{
        .method = "POST",
        .url = self->localURL_ + std::string(connector::clientCheckPath),
        .headers = {{"Content-Type", "application/json"}, {"X-Tarnwick-CSRF", page->csrf}},
        .body = "{}",
        .timeout = interfaceCheckTimeout,
        .cachePolicy = platform::CachePolicy::protocolDefault};
    // This request keeps the delegate until it is answered; the reference moves on to the main
    // queue with the result, so it is never the loader thread that lets go of it last.
    self->platform_.http.dataTask(
        std::move(request), [self, note, page = *page, &mainQueue = self->platform_.mainQueue](
                                const platform::HttpResponse& response) mutable {
          std::optional<int> status = response.status;
          std::optional<bridge::InterfaceCheck> check;
          if (response.body) {
            check = bridge::decodeInterfaceCheck(*response.body);
          }
          mainQueue.async([self = std::move(self), note = std::move(note), page = std::move(page),
                           status, check = std::move(check)] {
            auto outcome = bridge::interfaceOutcome(status, check, page, note);
            if (const auto* offer = std::get_if<bridge::InterfaceReloadOffer>(&outcome)) {
              self->offerReload(offer->version, note);
            } else {
              const auto& message = std::get<bridge::InterfaceMessage>(outcome);
              self->showUpdateMessage(message.title, message.message);
            }
          });
        });
  });
}

void TarnwickAppDelegate::offerReload(const std::string& version, const std::string& note) {
  if (!window_) {
    return;
  }
  window_->beginSheet(platform::Alert{.messageText = "A Newer Interface Is Ready",
                                      .informativeText = bridge::reloadOfferText(version, note),
                                      .style = platform::AlertStyle::informational,
                                      .buttons = {"Reload Now", "Later"}},
                      [weak = weak_from_this()](std::optional<std::size_t> button) {
                        auto self = weak.lock();
                        if (button == 0 && self && self->webView_) {
                          self->webView_->reloadFromOrigin();
                        }
                      });
}

}  // namespace tarnwick::app
