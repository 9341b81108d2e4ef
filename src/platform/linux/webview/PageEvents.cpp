// The page's requests of the web view: frame reports from the extension, and the dialogs, open
// panels, new windows, media requests and script messages they attribute.
#include "platform/linux/webview/FrameReportProtocol.h"
#include "platform/linux/webview/WebKitView.h"

namespace tarnwick::platform::linux_desktop {

namespace reports = frame_reports;

namespace {

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
  explicit PendingFileChooser(WebKitFileChooserRequest* request) : request_(retained(request)) {}
  ~PendingFileChooser() { answer(std::nullopt); }
  PendingFileChooser(const PendingFileChooser&) = delete;
  PendingFileChooser& operator=(const PendingFileChooser&) = delete;

  void answer(const std::optional<FileList>& files) {
    if (answered_) {
      return;
    }
    answered_ = true;
    if (!files || files->empty()) {
      webkit_file_chooser_request_cancel(request_.get());
      return;
    }
    std::vector<const gchar*> paths;
    for (const auto& file : *files) {
      paths.push_back(file.c_str());
      if (!webkit_file_chooser_request_get_select_multiple(request_.get())) {
        break;
      }
    }
    paths.push_back(nullptr);
    webkit_file_chooser_request_select_files(request_.get(), paths.data());
  }

 private:
  GObjectPtr<WebKitFileChooserRequest> request_;
  bool answered_ = false;
};

class PendingPermission {
 public:
  explicit PendingPermission(WebKitPermissionRequest* request) : request_(retained(request)) {}
  ~PendingPermission() { decide(false); }
  PendingPermission(const PendingPermission&) = delete;
  PendingPermission& operator=(const PendingPermission&) = delete;

  void decide(bool grant) {
    if (decided_) {
      return;
    }
    decided_ = true;
    if (grant) {
      webkit_permission_request_allow(request_.get());
    } else {
      webkit_permission_request_deny(request_.get());
    }
  }

 private:
  GObjectPtr<WebKitPermissionRequest> request_;
  bool decided_ = false;
};

}  // namespace

// --- Frame reports ---

gboolean WebKitView::onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer data) {
  auto* self = static_cast<WebKitView*>(data);
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
      // The strings are borrowed ("&s") from the parameters, which outlive this call.
      g_variant_get(parameters, "(&sttb&s&s)", &kind, &serial, &frameID, &isMainFrame, &origin,
                    &text);
      self->attribution_.received(
          FrameReport{.kind = kind,
                      .serial = serial,
                      .frameID = frameID,
                      .frame = FrameInfo{.isMainFrame = isMainFrame != FALSE,
                                         .origin = parseSerializedOrigin(origin)},
                      .text = text});
    }
    return TRUE;
  }
  if (name == reports::doneMessage) {
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE(reports::doneSignature))) {
      const gchar* kind = nullptr;
      guint64 serial = 0;
      g_variant_get(parameters, "(&st)", &kind, &serial);
      self->attribution_.done(kind, serial);
    }
    return TRUE;
  }
  return FALSE;
}

// --- Page requests ---

gboolean WebKitView::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
  auto* self = static_cast<WebKitView*>(data);
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
  auto* self = static_cast<WebKitView*>(data);
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
  auto* self = static_cast<WebKitView*>(data);
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
  auto* self = static_cast<WebKitView*>(data);
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
  if (GCharPtr json{value ? jsc_value_to_json(value, 0) : nullptr}) {
    body = json.get();
  }
  FrameInfo frame = self->attribution_.attributePending(
      std::string(reports::messageKindPrefix) + channel->name, body);
  if (auto delegate = self->delegate_.lock()) {
    delegate->webViewDidReceiveScriptMessage(channel->name, body, frame);
  }
}

}  // namespace tarnwick::platform::linux_desktop
