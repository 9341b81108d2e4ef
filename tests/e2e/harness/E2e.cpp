#include "E2e.h"

// Before X11's headers, whose macros clash with its names.
#include <httplib.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
// clang-format on
#include <signal.h>

#include <fstream>
#include <thread>

namespace tarnwick::e2e {

namespace {

Display* x(void* display) {
  return static_cast<Display*>(display);
}

std::string titleOf(Display* display, ::Window window) {
  Atom type;
  int format;
  unsigned long count, remaining;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), 0, 1024,
                         False, XInternAtom(display, "UTF8_STRING", False), &type, &format, &count,
                         &remaining, &data) == Success &&
      data) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return title;
}

}  // namespace

Screen::Screen(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

Screen::~Screen() {
  if (display_) {
    XCloseDisplay(x(display_));
  }
}

std::vector<Window> Screen::windows() {
  std::vector<Window> found;
  ::Window root, parent, *children = nullptr;
  unsigned int count = 0;
  if (!display_ ||
      !XQueryTree(x(display_), DefaultRootWindow(x(display_)), &root, &parent, &children, &count)) {
    return found;
  }
  for (unsigned int index = 0; index < count; ++index) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(x(display_), children[index], &attributes) &&
        attributes.map_state == IsViewable) {
      ::Window owner = 0;
      XGetTransientForHint(x(display_), children[index], &owner);
      found.push_back({children[index], titleOf(x(display_), children[index]), attributes.x,
                       attributes.y, attributes.width, attributes.height,
                       attributes.override_redirect != False, owner});
    }
  }
  XFree(children);
  return found;
}

std::optional<Window> Screen::waitFor(const std::function<bool(const Window&)>& match,
                                      Clock::duration timeout) {
  std::optional<Window> found;
  waitUntil(
      [&] {
        for (const auto& window : windows()) {
          if (match(window)) {
            found = window;
          }
        }
        return found.has_value();
      },
      timeout, 100ms);
  return found;
}

bool Screen::above(unsigned long upper, unsigned long lower) {
  int up = -1, down = -1, index = 0;
  for (const auto& window : windows()) {
    up = window.id == upper ? index : up;
    down = window.id == lower ? index : down;
    ++index;
  }
  return up >= 0 && down >= 0 && up > down;
}

std::vector<unsigned long> Screen::capture(int left, int top, int width, int height) {
  std::vector<unsigned long> pixels;
  XImage* image = display_ ? XGetImage(x(display_), DefaultRootWindow(x(display_)), left, top,
                                       static_cast<unsigned>(width), static_cast<unsigned>(height),
                                       AllPlanes, ZPixmap)
                           : nullptr;
  if (image) {
    for (int row = 0; row < height; ++row) {
      for (int column = 0; column < width; ++column) {
        pixels.push_back(XGetPixel(image, column, row));
      }
    }
    XDestroyImage(image);
  }
  return pixels;
}

void Screen::click(int left, int top) {
  XTestFakeMotionEvent(x(display_), -1, left, top, CurrentTime);
  XSync(x(display_), False);
  std::this_thread::sleep_for(30ms);  // the client sees the pointer arrive before the press
  XTestFakeButtonEvent(x(display_), 1, True, CurrentTime);
  XTestFakeButtonEvent(x(display_), 1, False, CurrentTime);
  XSync(x(display_), False);
}

void Screen::key(const std::string& name, const std::vector<std::string>& modifiers) {
  auto code = [&](const std::string& symbol) {
    return XKeysymToKeycode(x(display_), XStringToKeysym(symbol.c_str()));
  };
  for (const auto& modifier : modifiers) {
    XTestFakeKeyEvent(x(display_), code(modifier), True, CurrentTime);
  }
  XTestFakeKeyEvent(x(display_), code(name), True, CurrentTime);
  XTestFakeKeyEvent(x(display_), code(name), False, CurrentTime);
  for (const auto& modifier : modifiers) {
    XTestFakeKeyEvent(x(display_), code(modifier), False, CurrentTime);
  }
  XSync(x(display_), False);
}

void Screen::focus(unsigned long window) {
  XSetInputFocus(x(display_), window, RevertToParent, CurrentTime);
  XSync(x(display_), False);
}

std::vector<unsigned long> Screen::keyboard() {
  int minimum = 0, maximum = 0, perCode = 0;
  XDisplayKeycodes(x(display_), &minimum, &maximum);
  KeySym* symbols = XGetKeyboardMapping(x(display_), static_cast<KeyCode>(minimum),
                                        maximum - minimum + 1, &perCode);
  std::vector<unsigned long> mapping(symbols, symbols + (maximum - minimum + 1) * perCode);
  XFree(symbols);
  return mapping;
}

unsigned long Screen::cover() {
  Display* display = x(display_);
  ::Window window = XCreateSimpleWindow(
      display, DefaultRootWindow(display), 0, 0, static_cast<unsigned>(DisplayWidth(display, 0)),
      static_cast<unsigned>(DisplayHeight(display, 0)), 0, 0, 0x404040);
  XMapRaised(display, window);
  XSync(display, False);
  return window;
}

void Screen::raise(unsigned long window) {
  XRaiseWindow(x(display_), window);
  XSync(x(display_), False);
}

// --- The stand-in Connector ---

namespace {

httplib::Client client(int port) {
  httplib::Client http("127.0.0.1", port);
  http.set_connection_timeout(2, 0);
  http.set_read_timeout(5, 0);
  return http;
}

}  // namespace

std::optional<std::string> StandIn::server() {
  auto result = client(port).Get("/");
  return result ? std::optional(result->get_header_value("Server")) : std::nullopt;
}

Json StandIn::get(const std::string& path) {
  auto result = client(port).Get(path);
  auto parsed = result ? Json::parse(result->body, nullptr, false) : Json();
  return parsed.is_array() ? parsed : Json::array();
}

bool StandIn::post(const std::string& path, const Json& body) {
  auto result = client(port).Post(path, body.dump(), "application/json");
  return result && result->status == 204;
}

bool StandIn::clear(const std::string& path) {
  auto result = client(port).Delete(path);
  return result && result->status == 204;
}

std::vector<Json> StandIn::waitLog(const Json& fields, Clock::duration timeout, std::size_t count) {
  std::vector<Json> found;
  bool enough = waitUntil(
      [&] {
        found.clear();
        for (const auto& entry : get("/test/log")) {
          bool all = true;
          for (const auto& [name, value] : fields.items()) {
            all = all && entry.contains(name) && entry[name] == value;
          }
          if (all) {
            found.push_back(entry);
          }
        }
        return found.size() >= count;
      },
      timeout, 100ms);
  return enough ? found : std::vector<Json>{};
}

Json loaded(const std::string& path) {
  return {{"event", "loaded"}, {"path", path}, {"isTop", true}};
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char signedChar : text) {
    auto c = static_cast<unsigned char>(signedChar);
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    }
  }
  return out;
}

// --- Processes not our children ---

bool processGone(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) {
    return true;
  }
  char state = line[line.rfind(')') + 2];
  return state == 'Z' || state == 'X';
}

void endProcess(int pid) {
  ::kill(pid, SIGTERM);
  if (!waitUntil([pid] { return processGone(pid); }, 3s)) {
    ::kill(pid, SIGKILL);
    waitUntil([pid] { return processGone(pid); }, 3s);
  }
}

std::vector<int> processesOf(const std::string& name, const fs::path& home) {
  std::vector<int> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    auto pid = entry.path().filename().string();
    auto exe = fs::read_symlink(entry.path() / "exe", error).filename().string();
    if (error || (exe != name && exe != name + " (deleted)") || processGone(std::stoi(pid))) {
      continue;
    }
    std::ifstream environ(entry.path() / "environ");
    for (std::string variable; std::getline(environ, variable, '\0');) {
      if (variable == "HOME=" + home.string()) {
        found.push_back(std::stoi(pid));
      }
    }
  }
  return found;
}

// --- Session ---

Session::Session(bool readable, int width, int height) : display(width, height) {
  screen = std::make_unique<Screen>(display.name());
  if (readable) {
    auto socket = home.path() / "session-bus";
    bus_ = std::make_unique<Process>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--nopidfile",
                                                         "--address=unix:path=" + socket.string()});
    if (waitUntil([&] { return fs::exists(socket); }, 10s)) {
      busAddress_ = "unix:path=" + socket.string();
    }
  }
}

Session::~Session() {
  shell.reset();
  for (int pid : connectors()) {
    endProcess(pid);
  }
}

Process::Options Session::environment(const std::string& log) const {
  Process::Options options;
  options.environment = {{"DISPLAY", display.name()}, {"HOME", home.path().string()}};
  if (busAddress_.empty()) {
    options.environment["NO_AT_BRIDGE"] = "1";
  } else {
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
  }
  options.unset = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",  "XDG_RUNTIME_DIR",
                   "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP"};
  options.stderrFile = home.path() / (log + "-stderr.txt");
  return options;
}

bool Session::launch(const std::vector<std::string>& arguments,
                     const std::vector<std::string>& wrapper,
                     const std::map<std::string, std::string>& variables,
                     const fs::path& executable) {
  std::vector<std::string> command = wrapper;
  command.push_back(executable.string());
  command.insert(command.end(), arguments.begin(), arguments.end());
  auto options = environment("shell");
  options.environment.insert(variables.begin(), variables.end());
  shell = std::make_unique<Process>(
      command.front(), std::vector<std::string>(command.begin() + 1, command.end()), options);
  auto found = screen->waitFor(
      [](const Window& window) {
        return !window.popup && window.owner == 0 && window.width >= 760 &&
               window.title.starts_with("Tarnwick");
      },
      30s);
  main = found.value_or(Window{});
  return found.has_value();
}

bool Session::quit() {
  press(main, "q", {"Control_L"});
  return shell->wait(20s) == 0;
}

std::vector<Window> Session::sheets() {
  std::vector<Window> found;
  for (const auto& window : screen->windows()) {
    if (!window.popup && window.owner != 0 && window.id != main.id) {
      found.push_back(window);
    }
  }
  return found;
}

std::optional<Window> Session::waitSheet(Clock::duration timeout) {
  return screen->waitFor(
      [&](const Window& window) { return !window.popup && window.owner == main.id; }, timeout);
}

void Session::press(const Window& window, const std::string& key,
                    const std::vector<std::string>& modifiers) {
  screen->focus(window.id);
  std::this_thread::sleep_for(100ms);
  screen->key(key, modifiers);
}

void Session::clickContent(int left, int top) {
  screen->focus(main.id);
  screen->click(main.x + left, main.y + 40 + top);  // GTK's menu bar is under 40 pixels high
}

std::vector<std::string> Session::texts() {
  return linesOf(runCommand(TARNWICK_ACCESSIBILITY_PROBE, {}, environment("probe"), 20s).output);
}

bool Session::waitText(const std::string& text, Clock::duration timeout) {
  return waitUntil(
      [&] {
        auto lines = texts();
        return std::find(lines.begin(), lines.end(), "text: " + text) != lines.end();
      },
      timeout, 200ms);
}

bool Session::pressNamed(const std::string& name) {
  // A window that has just appeared may not list everything yet.
  return waitUntil(
      [&] {
        return runCommand(TARNWICK_ACCESSIBILITY_PROBE, {"--press", name}, environment("probe"),
                          20s)
                   .status == 0;
      },
      20s, 200ms);
}

// --- Service host ---

ServiceHost::ServiceHost(const fs::path& where, int port, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& variables)
    : folder(where) {
  if (runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, folder.string()}, {}, 60s).status != 0) {
    return;
  }
  writeFile(folder / "hosts", "127.0.0.1 localhost tarnwick.com\n");
  writeFile(folder / "ca-bundle.crt",
            readFile("/etc/ssl/certs/ca-certificates.crt") + readFile(folder / "ca.crt"));
  std::vector<std::string> all{"--cert", (folder / "server.crt").string(),
                               "--key",  (folder / "server.key").string(),
                               "--port", std::to_string(port)};
  all.insert(all.end(), arguments.begin(), arguments.end());
  process = std::make_unique<Process>(
      TARNWICK_SERVICE_HOST, all,
      Process::Options{.environment = variables, .stdoutFile = folder / "service.out"});
  ready = waitUntil([&] { return readFile(folder / "service.out").starts_with("listening"); }, 20s);
}

std::vector<std::string> ServiceHost::wrapper(const std::vector<std::string>& binds) const {
  std::vector<std::string> all{(folder / "hosts").string(), "/etc/hosts",
                               (folder / "ca-bundle.crt").string(),
                               "/etc/ssl/certs/ca-certificates.crt"};
  all.insert(all.end(), binds.begin(), binds.end());
  return namespaced(all);
}

std::vector<std::string> namespaced(const std::vector<std::string>& binds) {
  std::vector<std::string> wrapper{
      "/usr/bin/unshare",
      "--mount",
      "--propagation",
      "private",
      "/bin/sh",
      "-c",
      "while [ \"$1\" != -- ]; do mount --bind \"$1\" \"$2\" || exit 120; shift 2; done; "
      "shift; exec \"$@\"",
      "sh"};
  wrapper.insert(wrapper.end(), binds.begin(), binds.end());
  wrapper.push_back("--");
  return wrapper;
}

}  // namespace tarnwick::e2e
