// A small X client for the support-control tests: one window over the whole screen that takes the
// keyboard focus and writes one line for each thing it receives.
//
//   InputRecorder [--class NAME] [--unfocused] [--busy MILLISECONDS]
//
// Like the toolkits' clients, it loads the keyboard description at start and answers the window
// manager's ping. --busy stalls it that long before it reads its first key, as a client whose
// main loop is held up.
//
// Lines: "ready", "focus", "key <keysym name> <modifiers>", "text <UTF-8 as hex>",
// "press <button> <x> <y>", "release <button> <x> <y>". Modifiers are a sum: 1 Shift, 4 Control,
// 8 Alt.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void line(const std::string& text) {
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string hex(const char* bytes, int length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (int index = 0; index < length; ++index) {
    auto byte = static_cast<unsigned char>(bytes[index]);
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string windowClass = "InputRecorder";
  bool takeFocus = true;
  long busyMilliseconds = 0;
  for (int index = 1; index < argc; ++index) {
    std::string argument = argv[index];
    if (argument == "--class" && index + 1 < argc) {
      windowClass = argv[++index];
    } else if (argument == "--unfocused") {
      takeFocus = false;
    } else if (argument == "--busy" && index + 1 < argc) {
      busyMilliseconds = std::strtol(argv[++index], nullptr, 10);
    }
  }
  // UTF-8 text from key events needs a UTF-8 locale and an input context.
  std::setlocale(LC_ALL, "C.UTF-8");
  XSetLocaleModifiers("@im=none");
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    return 1;
  }
  int screen = DefaultScreen(display);
  Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0,
                                      static_cast<unsigned int>(DisplayWidth(display, screen)),
                                      static_cast<unsigned int>(DisplayHeight(display, screen)), 0,
                                      BlackPixel(display, screen), WhitePixel(display, screen));
  XClassHint hint;
  std::string instance = windowClass;
  hint.res_name = instance.data();
  hint.res_class = windowClass.data();
  XSetClassHint(display, window, &hint);
  XSelectInput(
      display, window,
      KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask | FocusChangeMask);
  Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  XSetWMProtocols(display, window, &ping, 1);
  // Any lookup loads the keyboard description, as toolkits do when they start.
  XKeysymToKeycode(display, XK_a);
  XIM method = XOpenIM(display, nullptr, nullptr, nullptr);
  XIC context = method ? XCreateIC(method, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                                   XNClientWindow, window, XNFocusWindow, window, nullptr)
                       : nullptr;
  XMapWindow(display, window);

  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
      case MapNotify:
        if (takeFocus) {
          XSetInputFocus(display, window, RevertToParent, CurrentTime);
        }
        XSync(display, False);
        line("ready");
        break;
      case FocusIn:
        if (event.xfocus.detail != NotifyPointer) {
          line("focus");
        }
        break;
      case ClientMessage:
        if (event.xclient.message_type == protocols &&
            static_cast<Atom>(event.xclient.data.l[0]) == ping) {
          Window root = DefaultRootWindow(display);
          event.xclient.window = root;
          XSendEvent(display, root, False, SubstructureNotifyMask | SubstructureRedirectMask,
                     &event);
          XFlush(display);
        }
        break;
      case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        break;
      case KeyPress: {
        if (busyMilliseconds > 0) {
          usleep(static_cast<useconds_t>(busyMilliseconds) * 1000);
          busyMilliseconds = 0;
        }
        char text[64];
        KeySym keysym = NoSymbol;
        Status status = 0;
        int length =
            context ? Xutf8LookupString(context, &event.xkey, text, sizeof text, &keysym, &status)
                    : XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
        const char* name = keysym == NoSymbol ? nullptr : XKeysymToString(keysym);
        unsigned int modifiers = event.xkey.state & (ShiftMask | ControlMask | Mod1Mask);
        line("key " + std::string(name ? name : "NoSymbol") + " " + std::to_string(modifiers));
        if (length > 0 && !(event.xkey.state & ControlMask)) {
          line("text " + hex(text, length));
        }
        break;
      }
      case ButtonPress:
      case ButtonRelease:
        line(std::string(event.type == ButtonPress ? "press " : "release ") +
             std::to_string(event.xbutton.button) + " " + std::to_string(event.xbutton.x_root) +
             " " + std::to_string(event.xbutton.y_root));
        break;
      default:
        break;
    }
  }
}
