#include "MapRecorder.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace tarnwick::e2e {

MapRecorder::MapRecorder(const std::string& display) {
  Display* opened = XOpenDisplay(display.c_str());
  if (opened) {
    XSelectInput(opened, DefaultRootWindow(opened), SubstructureNotifyMask);
    XSync(opened, False);
  }
  display_ = opened;
}

MapRecorder::~MapRecorder() {
  if (display_) {
    XCloseDisplay(static_cast<Display*>(display_));
  }
}

int MapRecorder::dialogsMapped() {
  auto* display = static_cast<Display*>(display_);
  if (!display) {
    return -1;
  }
  XSync(display, False);
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    Window owner = 0;
    if (event.type == MapNotify && !event.xmap.override_redirect &&
        XGetTransientForHint(display, event.xmap.window, &owner) && owner != 0) {
      ++dialogs_;
    }
  }
  return dialogs_;
}

}  // namespace tarnwick::e2e
