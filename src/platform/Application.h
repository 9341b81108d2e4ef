#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/WebView.h"

namespace tarnwick::platform {

// The application's own callbacks, all on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;

  virtual void applicationDidFinishLaunching() = 0;
  virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
  // A batch of URLs to open, in the order the system delivered them. May arrive before launch
  // has finished.
  virtual void applicationOpenURLs(const std::vector<std::string>& urls) = 0;
};

// Key equivalents name the platform's primary modifier ("Command") abstractly.
enum class KeyModifier : unsigned { none = 0, command = 1u << 0, shift = 1u << 1 };
constexpr KeyModifier operator|(KeyModifier a, KeyModifier b) {
  return static_cast<KeyModifier>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool contains(KeyModifier set, KeyModifier flag) {
  return (static_cast<unsigned>(set) & static_cast<unsigned>(flag)) != 0;
}

// Actions the platform answers itself, through its responder chain or the application.
enum class StandardAction { undo, redo, cut, copy, selectAll, terminate };

struct MenuItem {
  std::string title;  // empty for a separator
  bool separator = false;
  std::string keyEquivalent;
  KeyModifier modifiers = KeyModifier::command;
  std::optional<StandardAction> standardAction;  // either this …
  std::function<void()> action;                  // … or a delegate action

  static MenuItem makeSeparator() { return MenuItem{.separator = true, .modifiers = KeyModifier::none}; }
};

struct Menu {
  std::string title;  // empty for the application menu, whose title the platform supplies
  std::vector<MenuItem> items;
};

using MenuBar = std::vector<Menu>;

enum class AlertStyle { informational, warning, critical };

struct Alert {
  std::string messageText;
  std::string informativeText;
  AlertStyle style = AlertStyle::informational;
  std::vector<std::string> buttons;  // in order; the first is the default
};

struct WindowDescription {
  int contentWidth = 0;
  int contentHeight = 0;
  bool titled = true;
  bool closable = true;
  bool miniaturizable = true;
  bool resizable = true;
};

class Window {
 public:
  virtual ~Window() = default;

  virtual void setTitle(const std::string& title) = 0;
  virtual std::string title() const = 0;
  virtual void setMinSize(int width, int height) = 0;
  virtual void setContentView(WebView& webView) = 0;
  virtual void center() = 0;
  // Also brings back a window the user closed: closing only hides it.
  virtual void makeKeyAndOrderFront() = 0;
  // The desktop's token (an X11 startup id or a Wayland activation token) that lets the next
  // makeKeyAndOrderFront raise the window where the desktop prevents focus stealing.
  virtual void setStartupToken(const std::string& token) = 0;
  virtual bool isVisible() const = 0;

  // A window-modal sheet. The completion receives the index of the chosen button, or nothing when
  // the sheet ended some other way.
  virtual void beginSheet(const Alert& alert,
                          std::function<void(std::optional<std::size_t> button)> completion) = 0;
  // Completion: the chosen paths, or nothing when the panel was cancelled.
  virtual void beginOpenPanel(bool canChooseFiles, bool canChooseDirectories,
                              bool allowsMultipleSelection,
                              std::function<void(std::optional<FileList>)> completion) = 0;
};

class Application {
 public:
  virtual ~Application() = default;

  virtual void setActivationPolicyRegular() = 0;
  virtual void activate(bool ignoringOtherApps) = 0;
  virtual void setMainMenu(MenuBar menuBar) = 0;
  virtual std::shared_ptr<WebView> makeWebView(const WebViewConfiguration& configuration,
                                               std::weak_ptr<WebViewDelegate> delegate) = 0;
  virtual std::shared_ptr<Window> makeWindow(const WindowDescription& description) = 0;
  virtual void terminate() = 0;
};

}  // namespace tarnwick::platform
