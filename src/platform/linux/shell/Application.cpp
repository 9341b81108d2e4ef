// The application: activation, its web view and windows, and GTK's loop.
#include "platform/linux/bundle/LinuxBundle.h"
#include "platform/linux/shell/GtkShell.h"
#include "platform/linux/webview/WebKitView.h"

namespace tarnwick::platform::linux_desktop {

void GtkShellApplication::setActivationPolicyRegular() {
  // Every GTK application is an ordinary one; the name is what window lists show.
  g_set_application_name("Tarnwick");
}

void GtkShellApplication::activate(bool) {
  for (const auto& window : windows_) {
    if (window->isVisible()) {
      gtk_window_present(window->gtkWindow());
    }
  }
}

std::shared_ptr<WebView> GtkShellApplication::makeWebView(const WebViewConfiguration& configuration,
                                                          std::weak_ptr<WebViewDelegate> delegate) {
  // The bundle carries the web-process extension that tells which frame raised a page event.
  std::optional<std::filesystem::path> extensions;
  if (auto bundle = LinuxBundle::ofRunningExecutable().bundlePath()) {
    extensions = *bundle / "Contents" / "Frameworks" / "WebExtensions";
  }
  auto view = std::make_shared<WebKitView>(configuration, std::move(delegate), extensions);
  webView_ = view;
  return view;
}

std::shared_ptr<Window> GtkShellApplication::makeWindow(const WindowDescription& description) {
  auto window = std::make_shared<GtkShellWindow>(description);
  windows_.push_back(window);
  attachMenu();
  return window;
}

void GtkShellApplication::terminate() {
  gtk_main_quit();
}

int GtkShellApplication::run() {
  gtk_main();
  return 0;
}

}  // namespace tarnwick::platform::linux_desktop
