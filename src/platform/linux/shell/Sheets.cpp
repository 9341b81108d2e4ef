// Alert sheets and open panels over a window.
#include "platform/linux/shell/GtkShell.h"

namespace tarnwick::platform::linux_desktop {

namespace {

struct SheetCall {
  std::function<void(std::optional<std::size_t>)> completion;
  std::size_t buttonCount = 0;
};

void onSheetResponse(GtkDialog* dialog, gint response, gpointer data) {
  std::unique_ptr<SheetCall> call(static_cast<SheetCall*>(data));
  gtk_widget_destroy(GTK_WIDGET(dialog));
  std::optional<std::size_t> button;
  if (response >= 0 && static_cast<std::size_t>(response) < call->buttonCount) {
    button = static_cast<std::size_t>(response);
  }
  call->completion(button);
}

GtkMessageType messageType(AlertStyle style) {
  switch (style) {
    case AlertStyle::warning:
      return GTK_MESSAGE_WARNING;
    case AlertStyle::critical:
      return GTK_MESSAGE_ERROR;
    case AlertStyle::informational:
      break;
  }
  return GTK_MESSAGE_INFO;
}

}  // namespace

void GtkShellWindow::beginSheet(const Alert& alert,
                                std::function<void(std::optional<std::size_t>)> completion) {
  GtkWidget* dialog = gtk_message_dialog_new(
      window_.get(), static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      messageType(alert.style), GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), alert.messageText.c_str());
  if (!alert.informativeText.empty()) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                             alert.informativeText.c_str());
  }
  // The first button is the default and stands rightmost, so add them last to first.
  for (std::size_t index = alert.buttons.size(); index-- > 0;) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[index].c_str(),
                          static_cast<gint>(index));
  }
  if (!alert.buttons.empty()) {
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  }
  auto* call = new SheetCall{std::move(completion), alert.buttons.size()};
  g_signal_connect(dialog, "response", G_CALLBACK(onSheetResponse), call);
  gtk_window_present(GTK_WINDOW(dialog));
}

namespace {

struct PanelCall {
  std::function<void(std::optional<FileList>)> completion;
};

void onPanelResponse(GtkNativeDialog* dialog, gint response, gpointer data) {
  std::unique_ptr<PanelCall> call(static_cast<PanelCall*>(data));
  // The panel was made for this one answer.
  GObjectPtr<GtkNativeDialog> panel(dialog);
  std::optional<FileList> files;
  if (response == GTK_RESPONSE_ACCEPT) {
    files.emplace();
    GSList* chosen = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
    for (GSList* item = chosen; item; item = item->next) {
      files->emplace_back(static_cast<char*>(item->data));
    }
    g_slist_free_full(chosen, g_free);
  }
  call->completion(std::move(files));
}

}  // namespace

void GtkShellWindow::beginOpenPanel(bool canChooseFiles, bool canChooseDirectories,
                                    bool allowsMultipleSelection,
                                    std::function<void(std::optional<FileList>)> completion) {
  // GTK's chooser picks files or folders, not both: folders only when files are not wanted.
  auto action = (canChooseDirectories && !canChooseFiles) ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER
                                                          : GTK_FILE_CHOOSER_ACTION_OPEN;
  GtkFileChooserNative* chooser =
      gtk_file_chooser_native_new(nullptr, window_.get(), action, nullptr, nullptr);
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser),
                                       allowsMultipleSelection ? TRUE : FALSE);
  auto* call = new PanelCall{std::move(completion)};
  g_signal_connect(chooser, "response", G_CALLBACK(onPanelResponse), call);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

}  // namespace tarnwick::platform::linux_desktop
