#pragma once

#include <webkit2/webkit2.h>

#include <memory>

#include "platform/WebView.h"

namespace tarnwick::platform::linux_desktop {

// The shell's one web view, on WebKitGTK.
class WebKitView final : public WebView {
 public:
  WebKitView(const WebViewConfiguration& configuration, std::weak_ptr<WebViewDelegate> delegate);
  ~WebKitView() override;

  void loadRequest(const std::string& url, Seconds timeout, CachePolicy cachePolicy) override;
  void loadHTMLString(const std::string& html) override;
  void evaluateJavaScript(const std::string& script,
                          std::function<void(const std::optional<std::string>&)> completion) override;
  void reloadFromOrigin() override;
  std::optional<std::string> url() const override;

  GtkWidget* widget() const { return GTK_WIDGET(view_); }
  WebKitView(const WebKitView&) = delete;
  WebKitView& operator=(const WebKitView&) = delete;

 private:
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);

  WebKitWebView* view_ = nullptr;
  std::weak_ptr<WebViewDelegate> delegate_;
};

}  // namespace tarnwick::platform::linux_desktop
