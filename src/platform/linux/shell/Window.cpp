#include "platform/linux/shell/GtkShell.h"
#include "platform/linux/webview/WebKitView.h"

namespace tarnwick::platform::linux_desktop {

GtkShellWindow::GtkShellWindow(const WindowDescription& description) {
  window_ = sunk(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL)));
  gtk_window_set_default_size(window_.get(), description.contentWidth, description.contentHeight);
  gtk_window_set_resizable(window_.get(), description.resizable ? TRUE : FALSE);
  gtk_window_set_deletable(window_.get(), description.closable ? TRUE : FALSE);
  gtk_window_set_decorated(window_.get(), description.titled ? TRUE : FALSE);
  box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window_.get()), box_);
  // Closing hides the window; the application keeps running and reopen shows it again.
  g_signal_connect(window_.get(), "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
}

GtkShellWindow::~GtkShellWindow() {
  gtk_widget_destroy(GTK_WIDGET(window_.get()));
}

void GtkShellWindow::setTitle(const std::string& title) {
  gtk_window_set_title(window_.get(), title.c_str());
}

std::string GtkShellWindow::title() const {
  const gchar* title = gtk_window_get_title(window_.get());
  return title ? title : "";
}

void GtkShellWindow::setMinSize(int width, int height) {
  GdkGeometry geometry{};
  geometry.min_width = width;
  geometry.min_height = height;
  gtk_window_set_geometry_hints(window_.get(), nullptr, &geometry, GDK_HINT_MIN_SIZE);
}

void GtkShellWindow::setContentView(WebView& webView) {
  webView_ = &dynamic_cast<WebKitView&>(webView);
  gtk_box_pack_end(GTK_BOX(box_), webView_->widget(), TRUE, TRUE, 0);
}

void GtkShellWindow::center() {
  gtk_window_set_position(window_.get(), GTK_WIN_POS_CENTER);
}

void GtkShellWindow::makeKeyAndOrderFront() {
  gtk_widget_show_all(GTK_WIDGET(window_.get()));
  gtk_window_present(window_.get());
  if (webView_) {
    gtk_widget_grab_focus(webView_->widget());
  }
}

void GtkShellWindow::setStartupToken(const std::string& token) {
  // GTK names the window with it on X11 and activates the surface with it on Wayland.
  gtk_window_set_startup_id(window_.get(), token.c_str());
}

bool GtkShellWindow::isVisible() const {
  return gtk_widget_get_visible(GTK_WIDGET(window_.get()));
}

void GtkShellWindow::setMenuBar(GtkWidget* menuBar, GtkAccelGroup* accelerators) {
  menuBar_ = menuBar;
  gtk_box_pack_start(GTK_BOX(box_), menuBar_, FALSE, FALSE, 0);
  gtk_window_add_accel_group(window_.get(), accelerators);
}

}  // namespace tarnwick::platform::linux_desktop
