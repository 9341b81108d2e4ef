#include "E2e.h"

// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on
#include <signal.h>

#include <thread>

namespace tarnwick::e2e {

#define DISPLAY_ static_cast<Display*>(display_)

Screen::Screen(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

Screen::~Screen() {
  XCloseDisplay(DISPLAY_);
}

std::vector<Window> Screen::windows() {
  std::vector<Window> found;
  ::Window root, parent, *children = nullptr;
  unsigned int count = 0;
  XQueryTree(DISPLAY_, DefaultRootWindow(DISPLAY_), &root, &parent, &children, &count);
  for (unsigned int index = 0; index < count; ++index) {
    XWindowAttributes attributes;
    ::Window owner = 0;
    Atom type;
    int format;
    unsigned long length = 0, remaining;
    unsigned char* title = nullptr;
    if (XGetWindowAttributes(DISPLAY_, children[index], &attributes) &&
        attributes.map_state == IsViewable) {
      XGetTransientForHint(DISPLAY_, children[index], &owner);
      XGetWindowProperty(DISPLAY_, children[index], XInternAtom(DISPLAY_, "_NET_WM_NAME", False), 0,
                         1024, False, XInternAtom(DISPLAY_, "UTF8_STRING", False), &type, &format,
                         &length, &remaining, &title);
      found.push_back({children[index],
                       title ? std::string(reinterpret_cast<char*>(title), length) : "",
                       attributes.x, attributes.y, attributes.width, attributes.height,
                       attributes.override_redirect != False, owner});
      XFree(title);
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
          found = match(window) ? std::optional(window) : found;
        }
        return found.has_value();
      },
      timeout, 100ms);
  return found;
}

std::string Screen::capture(int left, int top, int width, int height) {
  XImage* image =
      XGetImage(DISPLAY_, DefaultRootWindow(DISPLAY_), left, top, static_cast<unsigned>(width),
                static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) {
    return "";
  }
  std::string pixels(image->data, static_cast<std::size_t>(image->bytes_per_line * height));
  XDestroyImage(image);
  return pixels;
}

std::vector<Json> StandIn::waitLog(const Json& fields, Clock::duration timeout) {
  std::vector<Json> found;
  bool enough = waitUntil(
      [&] {
        found.clear();
        for (auto entry : get("/test/log")) {
          auto patched = entry;  // unchanged by the fields when it has them all
          patched.merge_patch(fields);
          if (patched == entry) {
            found.push_back(entry);
          }
        }
        return !found.empty();
      },
      timeout, 100ms);
  return enough ? found : std::vector<Json>{};
}

static bool gone(int pid) {
  auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close == std::string::npos || stat.size() < close + 3 || stat[close + 2] == 'Z';
}

void endProcess(int pid) {
  ::kill(pid, SIGTERM);
  if (!waitUntil([pid] { return gone(pid); }, 3s)) {
    ::kill(pid, SIGKILL);
    waitUntil([pid] { return gone(pid); }, 3s);
  }
}

std::vector<int> processesOf(const std::string& name, const fs::path& home) {
  std::vector<int> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    auto exe = fs::read_symlink(entry.path() / "exe", error).filename().string();
    auto environment = '\0' + readFile(entry.path() / "environ");
    if (!error && (exe == name || exe == name + " (deleted)") &&
        environment.find(std::string("\0HOME=", 6) + home.string() + '\0') != std::string::npos &&
        !gone(std::stoi(entry.path().filename().string()))) {
      found.push_back(std::stoi(entry.path().filename().string()));
    }
  }
  return found;
}

Session::Session() {
  auto socket = home.path() / "session-bus";
  bus_ = std::make_unique<Process>(
      "/usr/bin/dbus-daemon",
      Lines{"--session", "--nofork", "--nopidfile", "--address=unix:path=" + socket.string()});
  waitUntil([&] { return fs::exists(socket); }, 10s);
}

Session::~Session() {
  shell.reset();
  for (int pid : connectors()) {
    endProcess(pid);
  }
}

Process::Options Session::environment(const std::string& log) const {
  return {.environment = {{"DISPLAY", display.name()},
                          {"HOME", home.path().string()},
                          {"DBUS_SESSION_BUS_ADDRESS",
                           "unix:path=" + home.path().string() + "/session-bus"}},
          .unset = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                    "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP"},
          .stderrFile = home.path() / (log + "-stderr.txt")};
}

bool Session::launch(const Lines& arguments, const Lines& wrapper,
                     const std::map<std::string, std::string>& variables,
                     const fs::path& executable) {
  Lines command = wrapper;
  command.push_back(executable.string());
  command.insert(command.end(), arguments.begin(), arguments.end());
  auto options = environment("shell");
  options.environment.insert(variables.begin(), variables.end());
  shell = std::make_unique<Process>(command.front(), Lines(command.begin() + 1, command.end()),
                                    options);
  auto found = screen.waitFor(
      [](const Window& window) {
        return !window.popup && !window.owner && window.width >= 760 &&
               window.title.starts_with("Tarnwick");
      },
      30s);
  main = found.value_or(Window{});
  return found.has_value();
}

void Session::input(const Window& window, const Lines& commands) {
  Lines all{"windowfocus", std::to_string(window.id), "sleep", "0.1"};
  all.insert(all.end(), commands.begin(), commands.end());
  runCommand("/usr/bin/xdotool", all, environment("xdotool"), 10s);
}

Lines namespaced(const Lines& binds) {
  const std::string bind =
      "while [ \"$1\" != -- ]; do mount --bind \"$1\" \"$2\" || exit 120; shift 2; done; shift; "
      "exec \"$@\"";
  Lines wrapper{
      "/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", bind, "sh"};
  wrapper.insert(wrapper.end(), binds.begin(), binds.end());
  wrapper.push_back("--");
  return wrapper;
}

ServiceHost::ServiceHost(const fs::path& where, int port, const Lines& arguments,
                         const std::map<std::string, std::string>& variables)
    : folder(where) {
  if (runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, folder.string()}, {}, 60s).status != 0) {
    return;
  }
  writeFile(folder / "hosts", "127.0.0.1 localhost tarnwick.com\n");
  writeFile(folder / "ca-bundle.crt",
            readFile("/etc/ssl/certs/ca-certificates.crt") + readFile(folder / "ca.crt"));
  Lines all{"--cert", (folder / "server.crt").string(),
            "--key",  (folder / "server.key").string(),
            "--port", std::to_string(port)};
  all.insert(all.end(), arguments.begin(), arguments.end());
  process = std::make_unique<Process>(
      TARNWICK_SERVICE_HOST, all,
      Process::Options{.environment = variables, .stdoutFile = folder / "service.out"});
  ready = waitUntil([&] { return readFile(folder / "service.out").starts_with("listening"); }, 20s);
}

Lines ServiceHost::wrapper() const {
  return namespaced({(folder / "hosts").string(), "/etc/hosts", (folder / "ca-bundle.crt").string(),
                     "/etc/ssl/certs/ca-certificates.crt"});
}

}  // namespace tarnwick::e2e
