#include "platform/linux/webview/WebKitView.h"

#include <cmath>

#include "platform/linux/webview/FrameReportProtocol.h"
#include "platform/linux/webview/RenderingSetup.h"

namespace tarnwick::platform::linux_desktop {

namespace reports = frame_reports;

namespace {

// The default context keeps local storage and the cache on disk but cookies only in memory until
// told where to store them; without this every restart would sign the interface's user out. They
// go into the website-data folder, which the default context leaves unnamed: it is the program's
// folder in the XDG data home, beside the engine's other files.
void keepCookiesAcrossRestarts(WebKitWebContext* context) {
  static bool done = false;
  auto* data = webkit_web_context_get_website_data_manager(context);
  if (done || webkit_website_data_manager_is_ephemeral(data)) {
    return;
  }
  const gchar* named = webkit_website_data_manager_get_base_data_directory(data);
  GCharPtr folder(named ? g_strdup(named)
                        : g_build_filename(g_get_user_data_dir(), g_get_prgname(), nullptr));
  if (g_mkdir_with_parents(folder.get(), 0700) == 0) {
    done = true;
    GCharPtr file(g_build_filename(folder.get(), "cookies.sqlite", nullptr));
    webkit_cookie_manager_set_persistent_storage(
        webkit_website_data_manager_get_cookie_manager(data), file.get(),
        WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  }
}

struct ExtensionSetup {
  std::string directory;
  std::vector<std::string> handlerNames;
};

void onInitializeWebExtensions(WebKitWebContext* context, gpointer data) {
  const auto& setup = *static_cast<const ExtensionSetup*>(data);
  webkit_web_context_set_web_extensions_directory(context, setup.directory.c_str());
  std::vector<const char*> names;
  for (const auto& name : setup.handlerNames) {
    names.push_back(name.c_str());
  }
  webkit_web_context_set_web_extensions_initialization_user_data(
      context, g_variant_new_strv(names.data(), static_cast<gssize>(names.size())));
}

// Every web process of the default context loads the extension; it must be set up before the
// first one starts, which happens with the first view's first load.
void prepareWebExtensions(const std::filesystem::path& directory,
                          const std::vector<std::string>& handlerNames) {
  static bool prepared = false;
  if (prepared) {
    return;
  }
  prepared = true;
  auto* setup = new ExtensionSetup{directory.string(), handlerNames};  // for the process's life
  g_signal_connect(webkit_web_context_get_default(), "initialize-web-extensions",
                   G_CALLBACK(onInitializeWebExtensions), setup);
}

}  // namespace

WebKitView::WebKitView(const WebViewConfiguration& configuration,
                       std::weak_ptr<WebViewDelegate> delegate,
                       std::optional<std::filesystem::path> extensionsDirectory)
    : delegate_(std::move(delegate)) {
  if (extensionsDirectory) {
    prepareWebExtensions(*extensionsDirectory, configuration.scriptMessageHandlerNames);
  }
  // The default context keeps the default, persistent website data.
  keepCookiesAcrossRestarts(webkit_web_context_get_default());
  contentManager_.reset(webkit_user_content_manager_new());
  for (const auto& name : configuration.scriptMessageHandlerNames) {
    auto channel = std::make_unique<ScriptMessageChannel>(ScriptMessageChannel{this, name});
    std::string signal = "script-message-received::" + name;
    g_signal_connect(contentManager_.get(), signal.c_str(), G_CALLBACK(onScriptMessage),
                     channel.get());
    webkit_user_content_manager_register_script_message_handler(contentManager_.get(),
                                                                name.c_str());
    channels_.push_back(std::move(channel));
  }
  view_ = sunk(WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager",
                                            contentManager_.get(), "web-context",
                                            webkit_web_context_get_default(), nullptr)));
  // WebKitGTK leaves camera and microphone requests out of pages unless this is on; whether a
  // request is granted stays the delegate's decision.
  webkit_settings_set_enable_media_stream(webkit_web_view_get_settings(view_.get()), TRUE);
  // Without a GPU (virtual machines, remote desktops, X servers such as Xvfb) the engine's
  // composited mode renders in software and leaves what a menu or sheet uncovered unpainted until
  // the page itself changes. Without compositing the view keeps a copy of the page that every
  // expose repaints from; nothing renders in hardware there anyway.
  if (!hasRenderNode()) {
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view_.get()),
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  }
  if (!configuration.drawsBackground) {
    GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_.get(), &transparent);
  }
  g_signal_connect(view_.get(), "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(view_.get(), "load-failed", G_CALLBACK(onLoadFailed), this);
  g_signal_connect(view_.get(), "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
  g_signal_connect(view_.get(), "script-dialog", G_CALLBACK(onScriptDialog), this);
  g_signal_connect(view_.get(), "run-file-chooser", G_CALLBACK(onRunFileChooser), this);
  g_signal_connect(view_.get(), "create", G_CALLBACK(onCreate), this);
  g_signal_connect(view_.get(), "permission-request", G_CALLBACK(onPermissionRequest), this);
  g_signal_connect(view_.get(), "user-message-received", G_CALLBACK(onUserMessage), this);
}

WebKitView::~WebKitView() {
  stopLoadTimer();
  g_signal_handlers_disconnect_by_data(view_.get(), this);
  for (const auto& channel : channels_) {
    g_signal_handlers_disconnect_by_data(contentManager_.get(), channel.get());
  }
}

// --- Loading ---

void WebKitView::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<WebKitView*>(data);
  switch (event) {
    case WEBKIT_LOAD_STARTED:
      self->currentLoadFailed_ = false;
      // Whatever the last document reported cannot raise this document's events.
      self->attribution_.reset();
      break;
    case WEBKIT_LOAD_COMMITTED:
      self->stopLoadTimer();
      self->superseding_ = false;  // the replaced load is gone by now
      break;
    case WEBKIT_LOAD_REDIRECTED:
      break;
    case WEBKIT_LOAD_FINISHED:
      if (!self->currentLoadFailed_) {
        if (auto delegate = self->delegate_.lock()) {
          delegate->webViewDidFinishNavigation();
        }
      }
      break;
  }
}

gboolean WebKitView::onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error,
                                  gpointer data) {
  auto* self = static_cast<WebKitView*>(data);
  self->stopLoadTimer();
  self->currentLoadFailed_ = true;
  // The engine cancels a load that the shell replaces with a new one. That is no failure of the
  // page: answered as one, it would put a reconnect over the page the shell has just asked for.
  if (self->superseding_ &&
      g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
    self->superseding_ = false;
    return TRUE;
  }
  if (auto delegate = self->delegate_.lock()) {
    if (event == WEBKIT_LOAD_COMMITTED) {
      delegate->webViewDidFailNavigation();
    } else {
      delegate->webViewDidFailProvisionalNavigation();
    }
  }
  return TRUE;  // the shell shows its own page, not the engine's error page
}

void WebKitView::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason,
                                        gpointer data) {
  auto* self = static_cast<WebKitView*>(data);
  self->stopLoadTimer();
  self->attribution_.reset();
  if (auto delegate = self->delegate_.lock()) {
    delegate->webViewWebContentProcessDidTerminate();
  }
}

gboolean WebKitView::onLoadTimeout(gpointer data) {
  auto* self = static_cast<WebKitView*>(data);
  self->loadTimer_ = 0;
  // The engine reports the stopped load as a failed provisional load.
  webkit_web_view_stop_loading(self->view_.get());
  return G_SOURCE_REMOVE;
}

void WebKitView::stopLoadTimer() {
  if (loadTimer_ != 0) {
    g_source_remove(loadTimer_);
    loadTimer_ = 0;
  }
}

void WebKitView::loadRequest(const std::string& url, Seconds timeout, CachePolicy cachePolicy) {
  stopLoadTimer();
  superseding_ = webkit_web_view_is_loading(view_.get());
  GObjectPtr<WebKitURIRequest> request(webkit_uri_request_new(url.c_str()));
  // WebKitGTK has no per-request cache policy; asking every cache on the way to revalidate makes
  // the load go to the server whatever is cached.
  if (cachePolicy != CachePolicy::protocolDefault) {
    if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request.get())) {
      soup_message_headers_replace(headers, "Cache-Control", "no-cache");
      soup_message_headers_replace(headers, "Pragma", "no-cache");
    }
  }
  webkit_web_view_load_request(view_.get(), request.get());
  // Nor a per-request time limit: a load that has no response by then is stopped.
  if (timeout.count() > 0) {
    auto milliseconds = static_cast<guint>(std::ceil(timeout.count() * 1000.0));
    loadTimer_ = g_timeout_add(milliseconds, onLoadTimeout, this);
  }
}

void WebKitView::loadHTMLString(const std::string& html) {
  stopLoadTimer();
  superseding_ = webkit_web_view_is_loading(view_.get());
  webkit_web_view_load_html(view_.get(), html.c_str(), nullptr);
}

void WebKitView::reloadFromOrigin() {
  stopLoadTimer();
  superseding_ = webkit_web_view_is_loading(view_.get());
  webkit_web_view_reload_bypass_cache(view_.get());
}

std::optional<std::string> WebKitView::url() const {
  const gchar* uri = webkit_web_view_get_uri(view_.get());
  if (!uri) {
    return std::nullopt;
  }
  return std::string(uri);
}

// --- Scripts ---

namespace {

struct ScriptCall {
  std::function<void(const std::optional<std::string>&)> completion;
  std::string script;
};

void onEngineScriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<ScriptCall> call(static_cast<ScriptCall*>(data));
  // Why it failed does not matter: the completion hears of no result either way.
  GObjectPtr<JSCValue> value(
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr));
  std::optional<std::string> text;
  if (value && jsc_value_is_string(value.get())) {
    text = GCharPtr(jsc_value_to_string(value.get())).get();
  }
  call->completion(text);
}

// The extension's answer. Without the extension (a view outside the bundle) the engine evaluates
// the script itself.
void onExtensionScriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<ScriptCall> call(static_cast<ScriptCall*>(data));
  auto* view = WEBKIT_WEB_VIEW(source);
  GError* failure = nullptr;
  GObjectPtr<WebKitUserMessage> reply(
      webkit_web_view_send_message_to_page_finish(view, result, &failure));
  GErrorPtr error(failure);
  if (!reply) {
    if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      call->completion(std::nullopt);
      return;
    }
    auto* retry = call.release();
    webkit_web_view_evaluate_javascript(view, retry->script.c_str(),
                                        static_cast<gssize>(retry->script.size()), nullptr, nullptr,
                                        nullptr, onEngineScriptFinished, retry);
    return;
  }
  std::optional<std::string> text;
  GVariant* parameters = webkit_user_message_get_parameters(reply.get());
  if (parameters &&
      g_variant_is_of_type(parameters, G_VARIANT_TYPE(reports::evaluateReplySignature))) {
    const gchar* string = nullptr;
    g_variant_get(parameters, "(m&s)", &string);
    if (string) {
      text = string;
    }
  }
  call->completion(text);
}

}  // namespace

void WebKitView::evaluateJavaScript(
    const std::string& script, std::function<void(const std::optional<std::string>&)> completion) {
  if (!completion) {
    webkit_web_view_evaluate_javascript(view_.get(), script.c_str(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
    return;
  }
  auto* call = new ScriptCall{std::move(completion), script};
  WebKitUserMessage* message =
      webkit_user_message_new(std::string(reports::evaluateMessage).c_str(),
                              g_variant_new(reports::evaluateSignature, script.c_str()));
  webkit_web_view_send_message_to_page(view_.get(), message, nullptr, onExtensionScriptFinished,
                                       call);
}

}  // namespace tarnwick::platform::linux_desktop
