#pragma once

#include <webkit2/webkit2.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/WebView.h"
#include "platform/linux/GLibHolders.h"
#include "platform/linux/webview/FrameAttribution.h"

namespace tarnwick::platform::linux_desktop {

// The shell's one web view, on WebKitGTK.
//
// WebKitGTK does not say which frame raised a dialog, a script message, an open panel or a media
// request. The frame-reporting web-process extension in `extensionsDirectory` does; without it,
// every such event comes from an untrusted frame.
class WebKitView final : public WebView {
 public:
  WebKitView(const WebViewConfiguration& configuration, std::weak_ptr<WebViewDelegate> delegate,
             std::optional<std::filesystem::path> extensionsDirectory);
  ~WebKitView() override;

  void loadRequest(const std::string& url, Seconds timeout, CachePolicy cachePolicy) override;
  void loadHTMLString(const std::string& html) override;
  void evaluateJavaScript(
      const std::string& script,
      std::function<void(const std::optional<std::string>&)> completion) override;
  void reloadFromOrigin() override;
  std::optional<std::string> url() const override;

  GtkWidget* widget() const { return GTK_WIDGET(view_.get()); }
  WebKitView(const WebKitView&) = delete;
  WebKitView& operator=(const WebKitView&) = delete;

 private:
  struct ScriptMessageChannel {
    WebKitView* view;
    std::string name;
  };

  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean onLoadFailed(WebKitWebView* view, WebKitLoadEvent event, gchar* uri,
                               GError* error, gpointer self);
  static void onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason,
                                     gpointer self);
  static gboolean onScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, gpointer self);
  static gboolean onRunFileChooser(WebKitWebView* view, WebKitFileChooserRequest* request,
                                   gpointer self);
  static GtkWidget* onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer self);
  static gboolean onPermissionRequest(WebKitWebView* view, WebKitPermissionRequest* request,
                                      gpointer self);
  static gboolean onUserMessage(WebKitWebView* view, WebKitUserMessage* message, gpointer self);
  static void onScriptMessage(WebKitUserContentManager* manager, WebKitJavascriptResult* result,
                              gpointer channel);
  static gboolean onLoadTimeout(gpointer self);

  // A load the shell itself starts supersedes the last one's time limit.
  void stopLoadTimer();

  std::weak_ptr<WebViewDelegate> delegate_;
  std::vector<std::unique_ptr<ScriptMessageChannel>> channels_;
  FrameAttribution attribution_;
  // WebKitGTK ends a failed load with "finished" too; the delegate hears of the failure only.
  bool currentLoadFailed_ = false;
  bool superseding_ = false;  // a new load of ours replaces one still in progress
  guint loadTimer_ = 0;
  // Last, so that they go first: the view before the content manager it was made with.
  GObjectPtr<WebKitUserContentManager> contentManager_;
  GObjectPtr<WebKitWebView> view_;
};

}  // namespace tarnwick::platform::linux_desktop
