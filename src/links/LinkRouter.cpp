// Deep-link routing and invitation redemption.
#include <algorithm>

#include "app/TarnwickAppDelegate.h"
#include "links/Invitation.h"
#include "links/LocalPairing.h"
#include "links/PlaidCompletion.h"
#include "links/Redemption.h"
#include "links/Url.h"

namespace tarnwick::app {

namespace {

template <typename Classifier>
std::optional<links::Url> firstAccepted(const std::vector<links::Url>& urls, Classifier classify) {
  for (const auto& url : urls) {
    if (auto accepted = classify(url)) {
      return accepted;
    }
  }
  return std::nullopt;
}

}  // namespace

// One link acts for the whole batch: a bank-link return, else the first invitation, else the first
// pairing link. Before the window exists a link is only held in its field, for launch to act on.
void TarnwickAppDelegate::applicationOpenURLs(const std::vector<std::string>& urls) {
  std::vector<links::Url> parsed;
  for (const auto& text : urls) {
    if (auto url = links::Url::parse(text)) {
      parsed.push_back(std::move(*url));
    }
  }

  if (std::ranges::any_of(parsed, links::plaidCompletionURL)) {
    if (window_) {
      bringWindowForward();
    }
    return;
  }

  if (auto redemption = firstAccepted(parsed, links::invitationURL)) {
    pendingInviteURL_ = redemption->text();
    if (window_) {
      bringWindowForward();
      redeemInvite(redemption->text());
    }
    return;
  }

  if (auto pairingPage = firstAccepted(parsed, links::localPairingURL)) {
    targetURL_ = pairingPage->text();
    if (window_) {
      attempts_ = 0;
      bringWindowForward();
      connect();
    }
    return;
  }
}

void TarnwickAppDelegate::redeemInvite(const std::string& redemptionURL) {
  pendingInviteURL_ = redemptionURL;
  showStatus(std::string(links::redemptionProgressMessage));

  auto* mainQueue = &platform_.mainQueue;
  platform_.http.dataTask(
      links::redemptionRequest(redemptionURL),
      [weak = weak_from_this(), mainQueue](const platform::HttpResponse& response) {
        // On the loader thread: only read the answer, then hand over.
        if (weak.expired()) {
          return;
        }
        mainQueue->async([weak, outcome = links::redemptionOutcome(response)] {
          auto self = weak.lock();
          if (!self) {
            return;
          }
          self->pendingInviteURL_.reset();
          if (outcome.pairingURL) {
            self->targetURL_ = outcome.pairingURL;
            self->attempts_ = 0;
            self->connect();
          } else {
            self->showFailure(outcome.failureMessage);
          }
        });
      });
}

}  // namespace tarnwick::app
