#include "platform/linux/GtkShell.h"

#include "platform/linux/LinuxBundle.h"
#include "platform/linux/WebKitView.h"

namespace tarnwick::platform::linux_desktop {

namespace {

constexpr int closedResponse = -1;

GdkModifierType gdkModifiers(KeyModifier modifiers) {
  unsigned mask = 0;
  // The platform's primary modifier stands where the Command key does elsewhere.
  if (contains(modifiers, KeyModifier::command)) {
    mask |= GDK_CONTROL_MASK;
  }
  if (contains(modifiers, KeyModifier::shift)) {
    mask |= GDK_SHIFT_MASK;
  }
  return static_cast<GdkModifierType>(mask);
}

}  // namespace

// --- Window ---

GtkShellWindow::GtkShellWindow(const WindowDescription& description) {
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  g_object_ref_sink(window_);
  gtk_window_set_default_size(window_, description.contentWidth, description.contentHeight);
  gtk_window_set_resizable(window_, description.resizable ? TRUE : FALSE);
  gtk_window_set_deletable(window_, description.closable ? TRUE : FALSE);
  gtk_window_set_decorated(window_, description.titled ? TRUE : FALSE);
  box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window_), box_);
  // Closing hides the window; the application keeps running and reopen shows it again.
  g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
}

GtkShellWindow::~GtkShellWindow() {
  gtk_widget_destroy(GTK_WIDGET(window_));
  g_object_unref(window_);
}

void GtkShellWindow::setTitle(const std::string& title) {
  gtk_window_set_title(window_, title.c_str());
}

std::string GtkShellWindow::title() const {
  const gchar* title = gtk_window_get_title(window_);
  return title ? title : "";
}

void GtkShellWindow::setMinSize(int width, int height) {
  GdkGeometry geometry{};
  geometry.min_width = width;
  geometry.min_height = height;
  gtk_window_set_geometry_hints(window_, nullptr, &geometry, GDK_HINT_MIN_SIZE);
}

void GtkShellWindow::setContentView(WebView& webView) {
  webView_ = &dynamic_cast<WebKitView&>(webView);
  gtk_box_pack_end(GTK_BOX(box_), webView_->widget(), TRUE, TRUE, 0);
}

void GtkShellWindow::center() {
  gtk_window_set_position(window_, GTK_WIN_POS_CENTER);
}

void GtkShellWindow::makeKeyAndOrderFront() {
  gtk_widget_show_all(GTK_WIDGET(window_));
  gtk_window_present(window_);
  if (webView_) {
    gtk_widget_grab_focus(webView_->widget());
  }
}

bool GtkShellWindow::isVisible() const {
  return gtk_widget_get_visible(GTK_WIDGET(window_));
}

void GtkShellWindow::setMenuBar(GtkWidget* menuBar, GtkAccelGroup* accelerators) {
  menuBar_ = menuBar;
  gtk_box_pack_start(GTK_BOX(box_), menuBar_, FALSE, FALSE, 0);
  gtk_window_add_accel_group(window_, accelerators);
}

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
      window_, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
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
  std::optional<FileList> files;
  if (response == GTK_RESPONSE_ACCEPT) {
    files.emplace();
    GSList* chosen = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
    for (GSList* item = chosen; item; item = item->next) {
      files->emplace_back(static_cast<char*>(item->data));
    }
    g_slist_free_full(chosen, g_free);
  }
  g_object_unref(dialog);
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
      gtk_file_chooser_native_new(nullptr, window_, action, nullptr, nullptr);
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser),
                                       allowsMultipleSelection ? TRUE : FALSE);
  auto* call = new PanelCall{std::move(completion)};
  g_signal_connect(chooser, "response", G_CALLBACK(onPanelResponse), call);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

// --- Application ---

GtkShellApplication::GtkShellApplication() {
  accelerators_ = gtk_accel_group_new();
}

GtkShellApplication::~GtkShellApplication() {
  g_object_unref(accelerators_);
}

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

void GtkShellApplication::setMainMenu(MenuBar menuBar) {
  menuBar_ = std::move(menuBar);
  attachMenu();
}

namespace {

void onMenuItemActivate(GtkMenuItem*, gpointer data) {
  const auto& action = *static_cast<const std::function<void()>*>(data);
  if (action) {
    action();
  }
}

}  // namespace

void GtkShellApplication::performStandardAction(StandardAction action) {
  if (action == StandardAction::terminate) {
    terminate();
    return;
  }
  auto view = webView_.lock();
  if (!view) {
    return;
  }
  const char* command = nullptr;
  switch (action) {
    case StandardAction::undo:
      command = WEBKIT_EDITING_COMMAND_UNDO;
      break;
    case StandardAction::redo:
      command = WEBKIT_EDITING_COMMAND_REDO;
      break;
    case StandardAction::cut:
      command = WEBKIT_EDITING_COMMAND_CUT;
      break;
    case StandardAction::copy:
      command = WEBKIT_EDITING_COMMAND_COPY;
      break;
    case StandardAction::selectAll:
      command = WEBKIT_EDITING_COMMAND_SELECT_ALL;
      break;
    case StandardAction::terminate:
      break;
  }
  if (command) {
    webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(view->widget()), command);
  }
}

void GtkShellApplication::attachMenu() {
  if (windows_.empty() || menuBar_.empty()) {
    return;
  }
  // Standard items become actions of their own so that every item is one callable.
  for (auto& menu : menuBar_) {
    for (auto& item : menu.items) {
      if (item.standardAction && !item.action) {
        item.action = [this, standard = *item.standardAction] { performStandardAction(standard); };
      }
    }
  }
  GtkWidget* bar = gtk_menu_bar_new();
  for (const auto& menu : menuBar_) {
    GtkWidget* top = gtk_menu_item_new_with_label(menu.title.empty() ? g_get_application_name()
                                                                     : menu.title.c_str());
    GtkWidget* submenu = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(submenu), accelerators_);
    for (const auto& item : menu.items) {
      if (item.separator) {
        gtk_menu_shell_append(GTK_MENU_SHELL(submenu), gtk_separator_menu_item_new());
        continue;
      }
      GtkWidget* entry = gtk_menu_item_new_with_label(item.title.c_str());
      if (!item.keyEquivalent.empty()) {
        guint key = gdk_unicode_to_keyval(static_cast<guint32>(item.keyEquivalent.front()));
        gtk_widget_add_accelerator(entry, "activate", accelerators_, key,
                                   gdkModifiers(item.modifiers), GTK_ACCEL_VISIBLE);
      }
      g_signal_connect(entry, "activate", G_CALLBACK(onMenuItemActivate),
                       const_cast<std::function<void()>*>(&item.action));
      gtk_menu_shell_append(GTK_MENU_SHELL(submenu), entry);
    }
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), submenu);
    gtk_menu_shell_append(GTK_MENU_SHELL(bar), top);
  }
  windows_.front()->setMenuBar(bar, accelerators_);
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
