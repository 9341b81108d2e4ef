#include "KeyboardMapping.h"

#include <X11/Xlib.h>

namespace tarnwick::e2e {

std::vector<unsigned long> keyboardMapping(const std::string& name) {
  std::vector<unsigned long> mapping;
  Display* display = XOpenDisplay(name.c_str());
  if (!display) {
    return mapping;
  }
  int minimum = 0, maximum = 0, perCode = 0;
  XDisplayKeycodes(display, &minimum, &maximum);
  KeySym* symbols =
      XGetKeyboardMapping(display, static_cast<KeyCode>(minimum), maximum - minimum + 1, &perCode);
  if (symbols) {
    mapping.assign(symbols, symbols + (maximum - minimum + 1) * perCode);
    XFree(symbols);
  }
  XCloseDisplay(display);
  return mapping;
}

}  // namespace tarnwick::e2e
