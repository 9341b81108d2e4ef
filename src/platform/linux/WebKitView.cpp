#include "platform/linux/WebKitView.h"

namespace tarnwick::platform::linux_desktop {

WebKitView::WebKitView(const WebViewConfiguration& configuration,
                             std::weak_ptr<WebViewDelegate> delegate)
    : delegate_(std::move(delegate)) {
  // The default context keeps the default, persistent website data.
  WebKitUserContentManager* contentManager = webkit_user_content_manager_new();
  for (const auto& name : configuration.scriptMessageHandlerNames) {
    webkit_user_content_manager_register_script_message_handler(contentManager, name.c_str());
  }
  view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", contentManager,
                                       "web-context", webkit_web_context_get_default(), nullptr));
  g_object_unref(contentManager);
  g_object_ref_sink(view_);
  if (!configuration.drawsBackground) {
    GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_, &transparent);
  }
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
}

WebKitView::~WebKitView() {
  g_signal_handlers_disconnect_by_data(view_, this);
  g_object_unref(view_);
}

void WebKitView::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<WebKitView*>(data);
  if (event == WEBKIT_LOAD_FINISHED) {
    if (auto delegate = self->delegate_.lock()) {
      delegate->webViewDidFinishNavigation();
    }
  }
}

void WebKitView::loadRequest(const std::string& url, Seconds, CachePolicy) {
  webkit_web_view_load_uri(view_, url.c_str());
}

void WebKitView::loadHTMLString(const std::string& html) {
  webkit_web_view_load_html(view_, html.c_str(), nullptr);
}

namespace {

struct ScriptCall {
  std::function<void(const std::optional<std::string>&)> completion;
};

void onScriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<ScriptCall> call(static_cast<ScriptCall*>(data));
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  std::optional<std::string> text;
  if (value && jsc_value_is_string(value)) {
    gchar* string = jsc_value_to_string(value);
    text = string;
    g_free(string);
  }
  if (value) {
    g_object_unref(value);
  }
  if (error) {
    g_error_free(error);
  }
  if (call->completion) {
    call->completion(text);
  }
}

}  // namespace

void WebKitView::evaluateJavaScript(
    const std::string& script, std::function<void(const std::optional<std::string>&)> completion) {
  auto* call = new ScriptCall{std::move(completion)};
  webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, nullptr, onScriptFinished, call);
}

void WebKitView::reloadFromOrigin() { webkit_web_view_reload_bypass_cache(view_); }

std::optional<std::string> WebKitView::url() const {
  const gchar* uri = webkit_web_view_get_uri(view_);
  if (!uri) {
    return std::nullopt;
  }
  return std::string(uri);
}

}  // namespace tarnwick::platform::linux_desktop
