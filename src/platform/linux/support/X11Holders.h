#pragma once

// Owners of Xlib resources: the connection to the server, the memory of a reply, an image.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

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

}  // namespace tarnwick::platform::linux_desktop
