#pragma once

// What the support devices share: one connection to the X server, the layout of its screens, and
// owners of what Xlib hands out.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <memory>
#include <vector>

#include "platform/SupportDevices.h"

namespace tarnwick::platform::linux_desktop {

struct XCloseDisplayDeleter {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, XCloseDisplayDeleter>;

struct XFreeDeleter {
  void operator()(void* data) const { XFree(data); }
};
// What Xlib allocated for a reply: a property's value, a list of windows or protocols, names.
template <typename T>
using XPtr = std::unique_ptr<T, XFreeDeleter>;

struct XImageDeleter {
  void operator()(XImage* image) const { XDestroyImage(image); }
};
using XImagePtr = std::unique_ptr<XImage, XImageDeleter>;

// The default handler ends the process on any protocol error; ours counts them here, so that each
// operation can tell whether its requests went through.
inline int x11ProtocolErrors = 0;

// The display named by DISPLAY; without one, no display at all.
class X11Connection {
 public:
  X11Connection();

  Display* display() const { return display_.get(); }
  bool canPostInput() const { return display_ && hasXTest_; }

  // Makes sure the server has handled every request so far; false when any of them failed since
  // the last call.
  bool settled();

 private:
  DisplayPtr display_;
  bool hasXTest_ = false;
};

// Screens side by side from left to right, as one global coordinate space.
struct ScreenArea {
  int screen;
  int left;
  int width;
  int height;
};

std::vector<ScreenArea> screenAreas(Display* display);

// Pings the client of the focused window and waits for its answer. Events reach a client in
// order and it answers when it reads the ping, so an answer means it has read every key sent
// before. False when the focus is on no such client or no answer came in time.
bool focusedClientHasRead(Display* display, std::chrono::milliseconds timeout);

// The devices over a connection, which must outlive them.
std::unique_ptr<InputEvents> makeX11Input(X11Connection& connection);
std::unique_ptr<Screen> makeX11Screen(X11Connection& connection);
std::unique_ptr<PrivacyAccess> makeX11PrivacyAccess(X11Connection& connection);

}  // namespace tarnwick::platform::linux_desktop
