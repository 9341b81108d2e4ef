// The page's one request: a device-owner unlock, answered by an event in the page.
#include "app/FrameTrust.h"
#include "app/TarnwickAppDelegate.h"
#include "bridge/UnlockRequest.h"
#include "connector/ConnectorContract.h"

namespace tarnwick::app {

// Every check that fails ends the handling silently: no prompt, no event. The page treats a
// missing event as a refusal.
void TarnwickAppDelegate::webViewDidReceiveScriptMessage(const std::string& name,
                                                         const std::string& body,
                                                         const platform::FrameInfo& frame) {
  if (name != connector::unlockMessageName) {
    return;
  }
  if (!frame.isMainFrame) {
    return;
  }
  // http, 127.0.0.1 and 8766 exactly: localhost, HTTPS and other ports are refused.
  if (!isConnectorOrigin(frame.origin)) {
    return;
  }
  auto requestID = bridge::unlockRequestIdentifier(body);
  if (!requestID) {
    return;
  }

  // A context of its own for every request. The evaluation keeps what it needs, so the context
  // may go once it has started.
  auto context = platform_.deviceOwnerAuth.makeContext();
  context->setCancelTitle(std::string(bridge::unlockCancelTitle));
  if (!context->canEvaluate()) {
    completeFinancialUnlock(*requestID, false);
    return;
  }
  context->evaluate(std::string(bridge::unlockReason),
                    [weak = weak_from_this(), requestID = *requestID,
                     &mainQueue = platform_.mainQueue](bool success) {
                      // Any thread: only the main one touches the delegate and the page.
                      mainQueue.async([weak, requestID, success] {
                        if (auto self = weak.lock()) {
                          self->completeFinancialUnlock(requestID, success);
                        }
                      });
                    });
}

void TarnwickAppDelegate::completeFinancialUnlock(const std::string& requestID, bool accepted) {
  auto script = bridge::financialUnlockScript(requestID, accepted);
  if (!script || !webView_) {
    return;
  }
  webView_->evaluateJavaScript(*script);
}

}  // namespace tarnwick::app
