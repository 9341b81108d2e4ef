// The main menu: a GTK menu bar over the first window, its keys on the application's accelerators.
#include "platform/linux/shell/GtkShell.h"
#include "platform/linux/webview/WebKitView.h"

namespace tarnwick::platform::linux_desktop {

namespace {

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

void onMenuItemActivate(GtkMenuItem*, gpointer data) {
  const auto& action = *static_cast<const std::function<void()>*>(data);
  if (action) {
    action();
  }
}

}  // namespace

void GtkShellApplication::setMainMenu(MenuBar menuBar) {
  menuBar_ = std::move(menuBar);
  attachMenu();
}

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
    gtk_menu_set_accel_group(GTK_MENU(submenu), accelerators_.get());
    for (const auto& item : menu.items) {
      if (item.separator) {
        gtk_menu_shell_append(GTK_MENU_SHELL(submenu), gtk_separator_menu_item_new());
        continue;
      }
      GtkWidget* entry = gtk_menu_item_new_with_label(item.title.c_str());
      if (!item.keyEquivalent.empty()) {
        guint key = gdk_unicode_to_keyval(static_cast<guint32>(item.keyEquivalent.front()));
        gtk_widget_add_accelerator(entry, "activate", accelerators_.get(), key,
                                   gdkModifiers(item.modifiers), GTK_ACCEL_VISIBLE);
      }
      g_signal_connect(entry, "activate", G_CALLBACK(onMenuItemActivate),
                       const_cast<std::function<void()>*>(&item.action));
      gtk_menu_shell_append(GTK_MENU_SHELL(submenu), entry);
    }
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), submenu);
    gtk_menu_shell_append(GTK_MENU_SHELL(bar), top);
  }
  windows_.front()->setMenuBar(bar, accelerators_.get());
}

}  // namespace tarnwick::platform::linux_desktop
