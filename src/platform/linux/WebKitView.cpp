#include "platform/linux/WebKitView.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <system_error>

#include "platform/linux/FrameReportProtocol.h"

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
  gchar* folder =
      named ? g_strdup(named) : g_build_filename(g_get_user_data_dir(), g_get_prgname(), nullptr);
  if (g_mkdir_with_parents(folder, 0700) == 0) {
    done = true;
    gchar* file = g_build_filename(folder, "cookies.sqlite", nullptr);
    webkit_cookie_manager_set_persistent_storage(
        webkit_website_data_manager_get_cookie_manager(data), file,
        WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    g_free(file);
  }
  g_free(folder);
}

// Whether this machine has a GPU render node this process may use.
bool hasRenderNode() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
    if (entry.path().filename().string().starts_with("renderD") &&
        ::access(entry.path().c_str(), R_OK | W_OK) == 0) {
      return true;
    }
  }
  return false;
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

// A page dialog kept open until the delegate answers; the page's script waits meanwhile. An
// answer that never comes closes it as dismissed. WebKitGTK wants an answer given during the
// signal left to the signal's return, and a later one given by closing the dialog it let us keep.
class PendingDialog {
 public:
  explicit PendingDialog(WebKitScriptDialog* dialog) : dialog_(dialog) {}
  ~PendingDialog() {
    answer(false);
    if (kept_) {
      webkit_script_dialog_unref(dialog_);
    }
  }
  PendingDialog(const PendingDialog&) = delete;
  PendingDialog& operator=(const PendingDialog&) = delete;

  // Called as the signal handler returns: a dialog still unanswered waits for its answer.
  void keepUnlessAnswered() {
    if (!answered_) {
      webkit_script_dialog_ref(dialog_);
      kept_ = true;
    }
  }

  void answer(bool confirmed) {
    if (answered_) {
      return;
    }
    answered_ = true;
    if (webkit_script_dialog_get_dialog_type(dialog_) == WEBKIT_SCRIPT_DIALOG_CONFIRM) {
      webkit_script_dialog_confirm_set_confirmed(dialog_, confirmed ? TRUE : FALSE);
    }
    if (kept_) {
      webkit_script_dialog_close(dialog_);
    }
  }

 private:
  WebKitScriptDialog* dialog_;
  bool kept_ = false;
  bool answered_ = false;
};

class PendingFileChooser {
 public:
  explicit PendingFileChooser(WebKitFileChooserRequest* request)
      : request_(WEBKIT_FILE_CHOOSER_REQUEST(g_object_ref(request))) {}
  ~PendingFileChooser() {
    answer(std::nullopt);
    g_object_unref(request_);
  }
  PendingFileChooser(const PendingFileChooser&) = delete;
  PendingFileChooser& operator=(const PendingFileChooser&) = delete;

  void answer(const std::optional<FileList>& files) {
    if (answered_) {
      return;
    }
    answered_ = true;
    if (!files || files->empty()) {
      webkit_file_chooser_request_cancel(request_);
      return;
    }
    std::vector<const gchar*> paths;
    for (const auto& file : *files) {
      paths.push_back(file.c_str());
      if (!webkit_file_chooser_request_get_select_multiple(request_)) {
        break;
      }
    }
    paths.push_back(nullptr);
    webkit_file_chooser_request_select_files(request_, paths.data());
  }

 private:
  WebKitFileChooserRequest* request_;
  bool answered_ = false;
};

class PendingPermission {
 public:
  explicit PendingPermission(WebKitPermissionRequest* request)
      : request_(WEBKIT_PERMISSION_REQUEST(g_object_ref(request))) {}
  ~PendingPermission() {
    decide(false);
    g_object_unref(request_);
  }
  PendingPermission(const PendingPermission&) = delete;
  PendingPermission& operator=(const PendingPermission&) = delete;

  void decide(bool grant) {
    if (decided_) {
      return;
    }
    decided_ = true;
    if (grant) {
      webkit_permission_request_allow(request_);
    } else {
      webkit_permission_request_deny(request_);
    }
  }

 private:
  WebKitPermissionRequest* request_;
  bool decided_ = false;
};

WebKitView* viewOf(gpointer data) {
  return static_cast<WebKitView*>(data);
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
  contentManager_ = webkit_user_content_manager_new();
  for (const auto& name : configuration.scriptMessageHandlerNames) {
    auto channel = std::make_unique<ScriptMessageChannel>(ScriptMessageChannel{this, name});
    std::string signal = "script-message-received::" + name;
    g_signal_connect(contentManager_, signal.c_str(), G_CALLBACK(onScriptMessage), channel.get());
    webkit_user_content_manager_register_script_message_handler(contentManager_, name.c_str());
    channels_.push_back(std::move(channel));
  }
  view_ =
      WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", contentManager_,
                                   "web-context", webkit_web_context_get_default(), nullptr));
  g_object_ref_sink(view_);
  // WebKitGTK leaves camera and microphone requests out of pages unless this is on; whether a
  // request is granted stays the delegate's decision.
  webkit_settings_set_enable_media_stream(webkit_web_view_get_settings(view_), TRUE);
  // Without a GPU (virtual machines, remote desktops, X servers such as Xvfb) the engine's
  // composited mode renders in software and leaves what a menu or sheet uncovered unpainted until
  // the page itself changes. Without compositing the view keeps a copy of the page that every
  // expose repaints from; nothing renders in hardware there anyway.
  if (!hasRenderNode()) {
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view_),
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  }
  if (!configuration.drawsBackground) {
    GdkRGBA transparent{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_, &transparent);
  }
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(view_, "load-failed", G_CALLBACK(onLoadFailed), this);
  g_signal_connect(view_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
  g_signal_connect(view_, "script-dialog", G_CALLBACK(onScriptDialog), this);
  g_signal_connect(view_, "run-file-chooser", G_CALLBACK(onRunFileChooser), this);
  g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
  g_signal_connect(view_, "permission-request", G_CALLBACK(onPermissionRequest), this);
  g_signal_connect(view_, "user-message-received", G_CALLBACK(onUserMessage), this);
}

WebKitView::~WebKitView() {
  stopLoadTimer();
  g_signal_handlers_disconnect_by_data(view_, this);
  for (const auto& channel : channels_) {
    g_signal_handlers_disconnect_by_data(contentManager_, channel.get());
  }
  g_object_unref(view_);
  g_object_unref(contentManager_);
}

// --- Loading ---

void WebKitView::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* self = viewOf(data);
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
  auto* self = viewOf(data);
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
  auto* self = viewOf(data);
  self->stopLoadTimer();
  self->attribution_.reset();
  if (auto delegate = self->delegate_.lock()) {
    delegate->webViewWebContentProcessDidTerminate();
  }
}

gboolean WebKitView::onLoadTimeout(gpointer data) {
  auto* self = viewOf(data);
  self->loadTimer_ = 0;
  // The engine reports the stopped load as a failed provisional load.
  webkit_web_view_stop_loading(self->view_);
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
  superseding_ = webkit_web_view_is_loading(view_);
  WebKitURIRequest* request = webkit_uri_request_new(url.c_str());
  // WebKitGTK has no per-request cache policy; asking every cache on the way to revalidate makes
  // the load go to the server whatever is cached.
  if (cachePolicy != CachePolicy::protocolDefault) {
    if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request)) {
      soup_message_headers_replace(headers, "Cache-Control", "no-cache");
      soup_message_headers_replace(headers, "Pragma", "no-cache");
    }
  }
  webkit_web_view_load_request(view_, request);
  g_object_unref(request);
  // Nor a per-request time limit: a load that has no response by then is stopped.
  if (timeout.count() > 0) {
    auto milliseconds = static_cast<guint>(std::ceil(timeout.count() * 1000.0));
    loadTimer_ = g_timeout_add(milliseconds, onLoadTimeout, this);
  }
}

void WebKitView::loadHTMLString(const std::string& html) {
  stopLoadTimer();
  superseding_ = webkit_web_view_is_loading(view_);
  webkit_web_view_load_html(view_, html.c_str(), nullptr);
}

void WebKitView::reloadFromOrigin() {
  stopLoadTimer();
  superseding_ = webkit_web_view_is_loading(view_);
  webkit_web_view_reload_bypass_cache(view_);
}

std::optional<std::string> WebKitView::url() const {
  const gchar* uri = webkit_web_view_get_uri(view_);
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
  call->completion(text);
}

// The extension's answer. Without the extension (a view outside the bundle) the engine evaluates
// the script itself.
void onExtensionScriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<ScriptCall> call(static_cast<ScriptCall*>(data));
  auto* view = WEBKIT_WEB_VIEW(source);
  GError* error = nullptr;
  WebKitUserMessage* reply = webkit_web_view_send_message_to_page_finish(view, result, &error);
  if (!reply) {
    bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (error) {
      g_error_free(error);
    }
    if (cancelled) {
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
  GVariant* parameters = webkit_user_message_get_parameters(reply);
  if (parameters &&
      g_variant_is_of_type(parameters, G_VARIANT_TYPE(reports::evaluateReplySignature))) {
    const gchar* string = nullptr;
    g_variant_get(parameters, "(m&s)", &string);
    if (string) {
      text = string;
    }
  }
  g_object_unref(reply);
  call->completion(text);
}

}  // namespace

void WebKitView::evaluateJavaScript(
    const std::string& script, std::function<void(const std::optional<std::string>&)> completion) {
  if (!completion) {
    webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
    return;
  }
  auto* call = new ScriptCall{std::move(completion), script};
  WebKitUserMessage* message =
      webkit_user_message_new(std::string(reports::evaluateMessage).c_str(),
                              g_variant_new(reports::evaluateSignature, script.c_str()));
  webkit_web_view_send_message_to_page(view_, message, nullptr, onExtensionScriptFinished, call);
}

// --- Frame reports ---

gboolean WebKitView::onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer data) {
  auto* self = viewOf(data);
  std::string_view name = webkit_user_message_get_name(message);
  GVariant* parameters = webkit_user_message_get_parameters(message);
  if (name == reports::reportMessage) {
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE(reports::reportSignature))) {
      const gchar* kind = nullptr;
      const gchar* origin = nullptr;
      const gchar* text = nullptr;
      guint64 serial = 0;
      guint64 frameID = 0;
      gboolean isMainFrame = FALSE;
      g_variant_get(parameters, reports::reportSignature, &kind, &serial, &frameID, &isMainFrame,
                    &origin, &text);
      self->attribution_.received(
          FrameReport{.kind = kind,
                      .serial = serial,
                      .frameID = frameID,
                      .frame = FrameInfo{.isMainFrame = isMainFrame != FALSE,
                                         .origin = parseSerializedOrigin(origin)},
                      .text = text});
      g_free(const_cast<gchar*>(kind));
      g_free(const_cast<gchar*>(origin));
      g_free(const_cast<gchar*>(text));
    }
    return TRUE;
  }
  if (name == reports::doneMessage) {
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE(reports::doneSignature))) {
      const gchar* kind = nullptr;
      guint64 serial = 0;
      g_variant_get(parameters, reports::doneSignature, &kind, &serial);
      self->attribution_.done(kind, serial);
      g_free(const_cast<gchar*>(kind));
    }
    return TRUE;
  }
  return FALSE;
}

// --- Page requests ---

gboolean WebKitView::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
  auto* self = viewOf(data);
  auto type = webkit_script_dialog_get_dialog_type(dialog);
  if (type == WEBKIT_SCRIPT_DIALOG_PROMPT) {
    // The shell offers no text-input panel: the page's prompt gets no answer (null) at once.
    return TRUE;
  }
  if (type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
    // Nor a leave-page question: the navigation goes ahead, as the shell's own loads must.
    webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
    return TRUE;
  }
  std::string message = webkit_script_dialog_get_message(dialog);
  bool isAlert = type == WEBKIT_SCRIPT_DIALOG_ALERT;
  FrameInfo frame = self->attribution_.attributePending(
      std::string(isAlert ? reports::alertKind : reports::confirmKind), message);
  auto delegate = self->delegate_.lock();
  if (!delegate) {
    return TRUE;
  }
  auto pending = std::make_shared<PendingDialog>(dialog);
  if (isAlert) {
    delegate->webViewRunJavaScriptAlert(message, frame, [pending] { pending->answer(false); });
  } else {
    delegate->webViewRunJavaScriptConfirm(
        message, frame, [pending](bool confirmed) { pending->answer(confirmed); });
  }
  pending->keepUnlessAnswered();
  return TRUE;
}

gboolean WebKitView::onRunFileChooser(WebKitWebView*, WebKitFileChooserRequest* request,
                                      gpointer data) {
  auto* self = viewOf(data);
  FrameInfo frame =
      self->attribution_.attributePending(std::string(reports::openPanelKind), std::nullopt);
  // WebKitGTK does not say whether the page accepts folders, so it is offered files only.
  OpenPanelParameters parameters{
      .allowsDirectories = false,
      .allowsMultipleSelection = webkit_file_chooser_request_get_select_multiple(request) != FALSE};
  auto pending = std::make_shared<PendingFileChooser>(request);
  if (auto delegate = self->delegate_.lock()) {
    delegate->webViewRunOpenPanel(
        parameters, frame, [pending](std::optional<FileList> files) { pending->answer(files); });
  }
  return TRUE;
}

GtkWidget* WebKitView::onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
  auto* self = viewOf(data);
  NavigationAction navigation;
  if (WebKitURIRequest* request = webkit_navigation_action_get_request(action)) {
    const gchar* uri = webkit_uri_request_get_uri(request);
    if (uri && *uri) {
      navigation.url = uri;
    }
  }
  if (auto delegate = self->delegate_.lock()) {
    delegate->webViewCreateWebView(navigation);
  }
  return nullptr;  // the page never gets a second window
}

gboolean WebKitView::onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request,
                                         gpointer data) {
  if (!WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
    return FALSE;  // every other kind keeps the engine's default
  }
  auto* self = viewOf(data);
  auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
  bool audio = webkit_user_media_permission_is_for_audio_device(media) != FALSE;
  bool video = webkit_user_media_permission_is_for_video_device(media) != FALSE;
  bool display = webkit_user_media_permission_is_for_display_device(media) != FALSE;
  FrameInfo frame = self->attribution_.attributeLatest(std::string(reports::mediaKind));
  auto pending = std::make_shared<PendingPermission>(request);
  // Screen capture is no camera or microphone request: refused.
  if (display || (!audio && !video)) {
    return TRUE;
  }
  auto type = audio && video ? MediaCaptureType::cameraAndMicrophone
              : video        ? MediaCaptureType::camera
                             : MediaCaptureType::microphone;
  if (auto delegate = self->delegate_.lock()) {
    // Only a main frame's document may ask (the extension refuses the others), so the requesting
    // origin is that document's.
    delegate->webViewRequestMediaCapturePermission(
        frame.origin, frame, type, [pending](bool grant) { pending->decide(grant); });
  }
  return TRUE;
}

void WebKitView::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                 gpointer data) {
  auto* channel = static_cast<ScriptMessageChannel*>(data);
  auto* self = channel->view;
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  std::string body;
  if (gchar* json = value ? jsc_value_to_json(value, 0) : nullptr) {
    body = json;
    g_free(json);
  }
  FrameInfo frame = self->attribution_.attributePending(
      std::string(reports::messageKindPrefix) + channel->name, body);
  if (auto delegate = self->delegate_.lock()) {
    delegate->webViewDidReceiveScriptMessage(channel->name, body, frame);
  }
}

}  // namespace tarnwick::platform::linux_desktop
