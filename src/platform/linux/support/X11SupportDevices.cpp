#include "platform/linux/support/X11SupportDevices.h"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "platform/linux/support/JpegEncoder.h"
#include "platform/linux/support/X11Connection.h"

namespace tarnwick::platform::linux_desktop {

namespace {

int countError(Display*, XErrorEvent*) {
  ++x11ProtocolErrors;
  return 0;
}

std::optional<std::vector<unsigned long>> windowListProperty(Display* display, Window window,
                                                             Atom property, Atom type) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 65536, False, type, &actualType, &format,
                         &count, &remaining, &data) != Success ||
      !data) {
    return std::nullopt;
  }
  XPtr<unsigned char> held(data);
  if (actualType != type || format != 32) {
    return std::nullopt;
  }
  // Format 32 comes as longs, whatever the size of a long.
  const auto* items = reinterpret_cast<const unsigned long*>(data);
  return std::vector<unsigned long>(items, items + count);
}

class X11RunningApplications final : public RunningApplications {
 public:
  explicit X11RunningApplications(X11Connection& connection) : connection_(connection) {}

  bool activateFirst(const std::string& bundleIdentifier) override {
    Display* display = connection_.display();
    if (!display) {
      return false;
    }
    connection_.settled();
    Window root = DefaultRootWindow(display);
    for (Window window : applicationWindows()) {
      XClassHint hint{};
      if (!XGetClassHint(display, window, &hint)) {
        continue;
      }
      XPtr<char> name(hint.res_name), className(hint.res_class);
      if (!windowClassMatches(bundleIdentifier, name ? name.get() : "",
                              className ? className.get() : "")) {
        continue;
      }
      if (windowManagerSupports("_NET_ACTIVE_WINDOW")) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;  // on the user's behalf, ahead of every other application
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
      } else {
        XRaiseWindow(display, window);
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
      }
      return connection_.settled();
    }
    return false;
  }

 private:
  bool windowManagerSupports(const char* name) {
    Display* display = connection_.display();
    auto supported = windowListProperty(display, DefaultRootWindow(display),
                                        XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM);
    Atom wanted = XInternAtom(display, name, False);
    return supported && std::find(supported->begin(), supported->end(), wanted) != supported->end();
  }

  // The window manager's client list, oldest first; without one, the viewable top-level windows.
  std::vector<Window> applicationWindows() {
    Display* display = connection_.display();
    Window root = DefaultRootWindow(display);
    if (auto clients = windowListProperty(
            display, root, XInternAtom(display, "_NET_CLIENT_LIST", False), XA_WINDOW)) {
      return {clients->begin(), clients->end()};
    }
    std::vector<Window> windows;
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    bool queried = XQueryTree(display, root, &rootReturn, &parent, &children, &count);
    XPtr<Window> held(children);
    if (queried && children) {
      for (unsigned int index = 0; index < count; ++index) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, children[index], &attributes) &&
            attributes.map_state == IsViewable) {
          windows.push_back(children[index]);
        }
      }
    }
    return windows;
  }

  X11Connection& connection_;
};

class BlockingSleeper final : public Sleeper {
 public:
  void sleepFor(Seconds duration) override { std::this_thread::sleep_for(duration); }
};

// The top-level window at or above the given one whose client takes part in the ping protocol.
std::optional<Window> pingableWindowAbove(Display* display, Window window) {
  Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  while (window != None) {
    Atom* protocols = nullptr;
    int count = 0;
    if (XGetWMProtocols(display, window, &protocols, &count)) {
      XPtr<Atom> held(protocols);
      if (std::find(protocols, protocols + count, ping) != protocols + count) {
        return window;
      }
    }
    Window root = None, parent = None, *children = nullptr;
    unsigned int childCount = 0;
    bool queried = XQueryTree(display, window, &root, &parent, &children, &childCount);
    XPtr<Window> heldChildren(children);
    if (!queried || parent == root) {
      return std::nullopt;
    }
    window = parent;
  }
  return std::nullopt;
}

bool pingFocusedClient(Display* display, std::chrono::milliseconds timeout) {
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display, &focus, &revert);
  if (focus == None || focus == PointerRoot) {
    return false;
  }
  auto target = pingableWindowAbove(display, focus);
  if (!target) {
    return false;
  }
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, *target, &attributes)) {
    return false;
  }
  Window root = attributes.root;
  Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  static long nextToken = static_cast<long>(getpid()) << 8;
  long token = nextToken++;
  // Answers go to the root window, to whoever watches its substructure.
  XSelectInput(display, root, SubstructureNotifyMask);
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = *target;
  request.xclient.message_type = protocols;
  request.xclient.format = 32;
  request.xclient.data.l[0] = static_cast<long>(ping);
  request.xclient.data.l[1] = token;
  request.xclient.data.l[2] = static_cast<long>(*target);
  XSendEvent(display, *target, False, NoEventMask, &request);
  XFlush(display);

  bool answered = false;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!answered) {
    while (!answered && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      answered = event.type == ClientMessage && event.xclient.message_type == protocols &&
                 event.xclient.format == 32 && event.xclient.data.l[0] == static_cast<long>(ping) &&
                 event.xclient.data.l[1] == token &&
                 event.xclient.data.l[2] == static_cast<long>(*target);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (answered || left.count() <= 0) {
      break;
    }
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, static_cast<int>(left.count()) + 1);
  }
  XSelectInput(display, root, NoEventMask);
  return answered;
}

}  // namespace

bool focusedClientHasRead(Display* display, std::chrono::milliseconds timeout) {
  // A window gone meanwhile is no failure of the typing.
  int errorsBefore = x11ProtocolErrors;
  bool answered = pingFocusedClient(display, timeout);
  XSync(display, False);
  x11ProtocolErrors = errorsBefore;
  return answered;
}

X11Connection::X11Connection() : display_(XOpenDisplay(nullptr)) {
  if (!display_) {
    return;
  }
  XSetErrorHandler(countError);
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  hasXTest_ = XTestQueryExtension(display_.get(), &eventBase, &errorBase, &major, &minor);
}

bool X11Connection::settled() {
  XSync(display_.get(), False);
  bool clean = x11ProtocolErrors == 0;
  x11ProtocolErrors = 0;
  return clean;
}

std::vector<ScreenArea> screenAreas(Display* display) {
  std::vector<ScreenArea> areas;
  int left = 0;
  for (int screen = 0; screen < ScreenCount(display); ++screen) {
    areas.push_back({screen, left, DisplayWidth(display, screen), DisplayHeight(display, screen)});
    left += DisplayWidth(display, screen);
  }
  return areas;
}

bool windowClassMatches(const std::string& bundleIdentifier, const std::string& instanceName,
                        const std::string& className) {
  if (bundleIdentifier.empty()) {
    return false;
  }
  if (instanceName == bundleIdentifier || className == bundleIdentifier) {
    return true;
  }
  // Most X programs name themselves by the last part alone ("TextEdit", "notes").
  auto lastDot = bundleIdentifier.rfind('.');
  std::string last =
      lastDot == std::string::npos ? bundleIdentifier : bundleIdentifier.substr(lastDot + 1);
  auto sameIgnoringCase = [&last](const std::string& name) {
    return !last.empty() && name.size() == last.size() &&
           std::equal(name.begin(), name.end(), last.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) ==
                    std::tolower(static_cast<unsigned char>(b));
           });
  };
  return sameIgnoringCase(instanceName) || sameIgnoringCase(className);
}

struct X11SupportDeviceProvider::Devices {
  X11Connection connection;
  std::unique_ptr<PrivacyAccess> privacy = makeX11PrivacyAccess(connection);
  std::unique_ptr<Screen> screen = makeX11Screen(connection);
  LibjpegEncoder encoder;
  // After the connection, so that it goes first: it gives the keyboard mapping back.
  std::unique_ptr<InputEvents> input = makeX11Input(connection);
  X11RunningApplications applications{connection};
  BlockingSleeper sleeper;
};

X11SupportDeviceProvider::X11SupportDeviceProvider() = default;
X11SupportDeviceProvider::~X11SupportDeviceProvider() = default;

SupportDevices X11SupportDeviceProvider::devices() {
  if (!devices_) {
    devices_ = std::make_unique<Devices>();
  }
  return {.privacy = *devices_->privacy,
          .screen = *devices_->screen,
          .encoder = devices_->encoder,
          .input = *devices_->input,
          .applications = devices_->applications,
          .sleeper = devices_->sleeper};
}

}  // namespace tarnwick::platform::linux_desktop
