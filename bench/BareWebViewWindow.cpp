// The yardstick of the launch benchmark: the least a WebKitGTK program can do to show a page, one
// GtkWindow with one WebKitWebView at default settings loading the interface's address.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1080, 780);
  GtkWidget* view = webkit_web_view_new();
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argc > 1 ? argv[1] : "http://127.0.0.1:8766/");
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
