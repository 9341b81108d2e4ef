#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <vector>

#include "platform/Application.h"
#include "platform/linux/GLibHolders.h"

namespace tarnwick::platform::linux_desktop {

class WebKitView;

class GtkShellWindow final : public Window {
 public:
  explicit GtkShellWindow(const WindowDescription& description);
  ~GtkShellWindow() override;

  void setTitle(const std::string& title) override;
  std::string title() const override;
  void setMinSize(int width, int height) override;
  void setContentView(WebView& webView) override;
  void center() override;
  void makeKeyAndOrderFront() override;
  void setStartupToken(const std::string& token) override;
  bool isVisible() const override;
  void beginSheet(const Alert& alert,
                  std::function<void(std::optional<std::size_t>)> completion) override;
  void beginOpenPanel(bool canChooseFiles, bool canChooseDirectories, bool allowsMultipleSelection,
                      std::function<void(std::optional<FileList>)> completion) override;

  void setMenuBar(GtkWidget* menuBar, GtkAccelGroup* accelerators);
  GtkWindow* gtkWindow() const { return window_.get(); }
  WebKitView* webView() const { return webView_; }

  GtkShellWindow(const GtkShellWindow&) = delete;
  GtkShellWindow& operator=(const GtkShellWindow&) = delete;

 private:
  GObjectPtr<GtkWindow> window_;
  GtkWidget* box_ = nullptr;
  GtkWidget* menuBar_ = nullptr;
  WebKitView* webView_ = nullptr;
};

class GtkShellApplication final : public Application {
 public:
  GtkShellApplication() = default;

  void setActivationPolicyRegular() override;
  void activate(bool ignoringOtherApps) override;
  void setMainMenu(MenuBar menuBar) override;
  std::shared_ptr<WebView> makeWebView(const WebViewConfiguration& configuration,
                                       std::weak_ptr<WebViewDelegate> delegate) override;
  std::shared_ptr<Window> makeWindow(const WindowDescription& description) override;
  void terminate() override;

  // Runs GTK's loop until terminate.
  int run();
  // The first window made, which dialogs of the application stand over; nothing before it exists.
  GtkWindow* mainWindow() const {
    return windows_.empty() ? nullptr : windows_.front()->gtkWindow();
  }

  GtkShellApplication(const GtkShellApplication&) = delete;
  GtkShellApplication& operator=(const GtkShellApplication&) = delete;

 private:
  void attachMenu();
  void performStandardAction(StandardAction action);

  MenuBar menuBar_;
  std::vector<std::shared_ptr<GtkShellWindow>> windows_;
  std::weak_ptr<WebKitView> webView_;
  GObjectPtr<GtkAccelGroup> accelerators_{gtk_accel_group_new()};
};

}  // namespace tarnwick::platform::linux_desktop
