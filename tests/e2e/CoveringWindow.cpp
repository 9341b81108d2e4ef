#include "CoveringWindow.h"

#include <X11/Xlib.h>

namespace tarnwick::e2e {

CoveringWindow::CoveringWindow(const std::string& display, int width, int height) {
  Display* connection = XOpenDisplay(display.c_str());
  if (!connection) {
    return;
  }
  display_ = connection;
  window_ = XCreateSimpleWindow(connection, DefaultRootWindow(connection), 0, 0,
                                static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 0,
                                0x404040);
  XStoreName(connection, window_, "Cover");
  XMapRaised(connection, window_);
  XSync(connection, False);
}

void CoveringWindow::raise() {
  if (auto* connection = static_cast<Display*>(display_)) {
    XRaiseWindow(connection, window_);
    XSync(connection, False);
  }
}

CoveringWindow::~CoveringWindow() {
  if (auto* connection = static_cast<Display*>(display_)) {
    XDestroyWindow(connection, window_);
    XCloseDisplay(connection);
  }
}

}  // namespace tarnwick::e2e
