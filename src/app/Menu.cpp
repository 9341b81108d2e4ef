// The menu bar and the editing commands the shell implements itself.
#include "app/PasteScript.h"
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

using platform::KeyModifier;
using platform::MenuItem;
using platform::StandardAction;

void TarnwickAppDelegate::installMenu() {
  // Delegate actions hold the delegate weakly: the menu belongs to the platform.
  auto weak = weak_from_this();
  auto delegateAction = [weak](void (TarnwickAppDelegate::*member)()) {
    return [weak, member] {
      if (auto self = weak.lock()) {
        ((*self).*member)();
      }
    };
  };
  auto standard = [](std::string title, std::string key, StandardAction action,
                     KeyModifier modifiers = KeyModifier::command) {
    return MenuItem{.title = std::move(title),
                    .keyEquivalent = std::move(key),
                    .modifiers = modifiers,
                    .standardAction = action};
  };

  // Reload goes to the delegate, not to the focused web view: the failure page tells the user to
  // choose it for a fresh connection series, which a plain page reload would not give.
  platform::Menu applicationMenu{
      .title = "",
      .items = {MenuItem{.title = "Reload Tarnwick",
                         .keyEquivalent = "r",
                         .action = delegateAction(&TarnwickAppDelegate::reload)},
                MenuItem{.title = "Check for Updates\u2026",
                         .keyEquivalent = "",
                         .modifiers = KeyModifier::none,
                         .action = delegateAction(&TarnwickAppDelegate::checkForUpdatesFromMenu)},
                MenuItem::makeSeparator(), standard("Quit Tarnwick", "q", StandardAction::terminate)}};

  platform::Menu editMenu{
      .title = "Edit",
      .items = {standard("Undo", "z", StandardAction::undo),
                standard("Redo", "z", StandardAction::redo, KeyModifier::command | KeyModifier::shift),
                MenuItem::makeSeparator(), standard("Cut", "x", StandardAction::cut),
                standard("Copy", "c", StandardAction::copy),
                MenuItem{.title = "Paste",
                         .keyEquivalent = "v",
                         .action = delegateAction(&TarnwickAppDelegate::pasteFromClipboard)},
                MenuItem::makeSeparator(), standard("Select All", "a", StandardAction::selectAll)}};

  platform_.application.setMainMenu({std::move(applicationMenu), std::move(editMenu)});
}

void TarnwickAppDelegate::pasteFromClipboard() {
  if (!webView_) {
    return;
  }
  auto text = platform_.pasteboard.plainText();
  if (!text) {
    return;
  }
  if (auto script = pasteScript(*text)) {
    webView_->evaluateJavaScript(*script);
  }
}

void TarnwickAppDelegate::checkForUpdatesFromMenu() { checkForUpdates(true); }

}  // namespace tarnwick::app
