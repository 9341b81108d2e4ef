// A small X client for the support-control tests: one window over the whole screen that writes a
// line for each thing it receives. Like the toolkits' clients it loads the keyboard description at
// start and answers the window manager's ping.
//
//   InputRecorder [--class NAME] [--unfocused] [--busy MILLISECONDS]
//
// --busy stalls it that long before it reads its first key, as a client whose main loop is held
// up. Lines: "ready", "focus", "key <keysym> <modifiers: 1 Shift, 4 Control, 8 Alt>",
// "text <UTF-8 as hex>", "press|release <button> <x> <y>".
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  std::string windowClass = "InputRecorder";
  bool takeFocus = true;
  long busy = 0;
  for (int index = 1; index < argc; ++index) {
    std::string argument = argv[index];
    if (argument == "--class" && index + 1 < argc) {
      windowClass = argv[++index];
    } else if (argument == "--busy" && index + 1 < argc) {
      busy = std::strtol(argv[++index], nullptr, 10);
    }
    takeFocus = takeFocus && argument != "--unfocused";
  }
  std::setlocale(LC_ALL, "C.UTF-8");  // UTF-8 text needs a UTF-8 locale and an input context
  XSetLocaleModifiers("@im=none");
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    return 1;
  }
  int screen = DefaultScreen(display);
  Window root = RootWindow(display, screen);
  Window window =
      XCreateSimpleWindow(display, root, 0, 0, static_cast<unsigned>(DisplayWidth(display, screen)),
                          static_cast<unsigned>(DisplayHeight(display, screen)), 0,
                          BlackPixel(display, screen), WhitePixel(display, screen));
  XClassHint hint{windowClass.data(), windowClass.data()};
  XSetClassHint(display, window, &hint);
  XSelectInput(
      display, window,
      KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask | FocusChangeMask);
  Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  XSetWMProtocols(display, window, &ping, 1);
  XKeysymToKeycode(display, 'a');  // loads the keyboard description
  XIM method = XOpenIM(display, nullptr, nullptr, nullptr);
  XIC context = method ? XCreateIC(method, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                                   XNClientWindow, window, XNFocusWindow, window, nullptr)
                       : nullptr;
  XMapWindow(display, window);
  auto line = [](const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  };
  for (XEvent event;;) {
    XNextEvent(display, &event);
    if (event.type == MapNotify) {
      if (takeFocus) {
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
      }
      XSync(display, False);
      line("ready");
    } else if (event.type == FocusIn && event.xfocus.detail != NotifyPointer) {
      line("focus");
    } else if (event.type == ClientMessage && event.xclient.message_type == protocols &&
               static_cast<Atom>(event.xclient.data.l[0]) == ping) {
      event.xclient.window = root;
      XSendEvent(display, root, False, SubstructureNotifyMask | SubstructureRedirectMask, &event);
      XFlush(display);
    } else if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
    } else if (event.type == KeyPress) {
      usleep(static_cast<useconds_t>(busy) * 1000);
      busy = 0;
      char text[64];
      KeySym keysym = NoSymbol;
      Status status = 0;
      int length =
          context ? Xutf8LookupString(context, &event.xkey, text, sizeof text, &keysym, &status)
                  : XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
      const char* name = keysym == NoSymbol ? nullptr : XKeysymToString(keysym);
      line("key " + std::string(name ? name : "NoSymbol") + " " +
           std::to_string(event.xkey.state & (ShiftMask | ControlMask | Mod1Mask)));
      std::string hex;
      for (int index = 0; index < length && !(event.xkey.state & ControlMask); ++index) {
        hex += "0123456789abcdef"[static_cast<unsigned char>(text[index]) >> 4];
        hex += "0123456789abcdef"[text[index] & 15];
      }
      if (!hex.empty()) {
        line("text " + hex);
      }
    } else if (event.type == ButtonPress || event.type == ButtonRelease) {
      line(std::string(event.type == ButtonPress ? "press " : "release ") +
           std::to_string(event.xbutton.button) + " " + std::to_string(event.xbutton.x_root) + " " +
           std::to_string(event.xbutton.y_root));
    }
  }
}
