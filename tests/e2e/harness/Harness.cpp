#include "Harness.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarnwick::e2e {

// --- Processes not our own children ---

namespace {

std::optional<std::string> environmentValue(int pid, const std::string& name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::string entry;
  while (std::getline(file, entry, '\0')) {
    if (entry.rfind(name + "=", 0) == 0) {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

std::vector<int> numericEntries() {
  std::vector<int> pids;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::string name = entry.path().filename();
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
      pids.push_back(std::stoi(name));
    }
  }
  return pids;
}

struct ProcessStatus {
  std::string command;
  char state = '?';
  int parent = 0;
};

std::optional<ProcessStatus> statusOf(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(file, line)) {
    return std::nullopt;
  }
  auto open = line.find('(');
  auto close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 > line.size()) {
    return std::nullopt;
  }
  ProcessStatus status;
  status.command = line.substr(open + 1, close - open - 1);
  std::istringstream rest(line.substr(close + 2));
  rest >> status.state >> status.parent;
  return status;
}

}  // namespace

bool processGone(int pid) {
  auto status = statusOf(pid);
  return !status || status->state == 'Z' || status->state == 'X';
}

void endProcess(int pid) {
  if (pid <= 0 || processGone(pid)) {
    return;
  }
  ::kill(pid, SIGTERM);
  if (!waitUntil([pid] { return processGone(pid); }, 3s)) {
    ::kill(pid, SIGKILL);
    waitUntil([pid] { return processGone(pid); }, 3s);
  }
}

std::vector<int> childProcesses(int parent, const std::string& prefix) {
  std::vector<int> found;
  for (int pid : numericEntries()) {
    auto status = statusOf(pid);
    if (status && status->parent == parent && status->command.rfind(prefix, 0) == 0 &&
        status->state != 'Z') {
      found.push_back(pid);
    }
  }
  return found;
}

std::vector<int> connectorsWithHome(const std::filesystem::path& home) {
  std::vector<int> found;
  for (int pid : numericEntries()) {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error || processGone(pid)) {
      continue;
    }
    std::string name = executable.filename().string();
    if (name != "Tarnwick Connector" && name != "Tarnwick Connector (deleted)") {
      continue;
    }
    if (environmentValue(pid, "HOME") == home.string()) {
      found.push_back(pid);
    }
  }
  return found;
}

// --- TemporaryFolder ---

TemporaryFolder::~TemporaryFolder() {
  if (!path().empty()) {
    for (int pid : connectorsWithHome(path())) {
      endProcess(pid);
    }
  }
}

// --- Screen ---

namespace {

Display* asDisplay(void* display) {
  return static_cast<Display*>(display);
}

std::string windowTitle(Display* display, Window window) {
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long count, remaining;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count,
                         &remaining, &data) == Success &&
      data) {
    std::string title(reinterpret_cast<char*>(data), count);
    XFree(data);
    return title;
  }
  char* name = nullptr;
  if (XFetchName(display, window, &name) && name) {
    std::string title(name);
    XFree(name);
    return title;
  }
  return "";
}

int ignoreErrors(Display*, XErrorEvent*) {
  return 0;
}

}  // namespace

Screen::Screen(const std::string& display) {
  display_ = XOpenDisplay(display.c_str());
  XSetErrorHandler(ignoreErrors);
}

Screen::~Screen() {
  if (display_) {
    XCloseDisplay(asDisplay(display_));
  }
}

std::vector<WindowInfo> Screen::topLevelWindows() {
  std::vector<WindowInfo> windows;
  if (!display_) {
    return windows;
  }
  Display* display = asDisplay(display_);
  Window root = DefaultRootWindow(display), parent, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) {
    return windows;
  }
  for (unsigned int index = 0; index < count; ++index) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, children[index], &attributes)) {
      continue;
    }
    WindowInfo info;
    info.id = children[index];
    info.title = windowTitle(display, children[index]);
    XClassHint hint;
    if (XGetClassHint(display, children[index], &hint)) {
      info.wmClass = hint.res_class ? hint.res_class : "";
      XFree(hint.res_name);
      XFree(hint.res_class);
    }
    info.x = attributes.x;
    info.y = attributes.y;
    info.width = attributes.width;
    info.height = attributes.height;
    info.viewable = attributes.map_state == IsViewable;
    info.overrideRedirect = attributes.override_redirect != False;
    Window transient = 0;
    if (XGetTransientForHint(display, children[index], &transient)) {
      info.transientFor = transient;
    }
    windows.push_back(info);
  }
  XFree(children);
  return windows;
}

std::vector<WindowInfo> Screen::viewableWindowsTitled(const std::string& title) {
  std::vector<WindowInfo> matching;
  for (const auto& window : topLevelWindows()) {
    if (window.viewable && window.title == title) {
      matching.push_back(window);
    }
  }
  return matching;
}

bool isShellWindow(const WindowInfo& window) {
  return window.viewable && window.transientFor == 0 &&
         (window.title == "Tarnwick" || window.title.starts_with("Tarnwick "));
}

std::vector<WindowInfo> Screen::shellWindows() {
  std::vector<WindowInfo> matching;
  for (const auto& window : topLevelWindows()) {
    if (isShellWindow(window)) {
      matching.push_back(window);
    }
  }
  return matching;
}

std::optional<WindowInfo> Screen::waitForWindow(const std::function<bool(const WindowInfo&)>& match,
                                                Clock::duration timeout) {
  std::optional<WindowInfo> found;
  waitUntil(
      [&] {
        for (const auto& window : topLevelWindows()) {
          if (match(window)) {
            found = window;
            return true;
          }
        }
        return false;
      },
      timeout, 100ms);
  return found;
}

std::optional<Pixel> Screen::pixel(int x, int y) {
  if (!display_) {
    return std::nullopt;
  }
  Display* display = asDisplay(display_);
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) {
    return std::nullopt;
  }
  unsigned long value = XGetPixel(image, 0, 0);
  Pixel result{static_cast<int>((value & image->red_mask) >> 16),
               static_cast<int>((value & image->green_mask) >> 8),
               static_cast<int>(value & image->blue_mask)};
  XDestroyImage(image);
  return result;
}

std::vector<Pixel> Screen::capture(int x, int y, int width, int height) {
  std::vector<Pixel> pixels;
  if (!display_ || width <= 0 || height <= 0) {
    return pixels;
  }
  Display* display = asDisplay(display_);
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) {
    return pixels;
  }
  pixels.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      unsigned long value = XGetPixel(image, column, row);
      pixels.push_back({static_cast<int>((value & image->red_mask) >> 16),
                        static_cast<int>((value & image->green_mask) >> 8),
                        static_cast<int>(value & image->blue_mask)});
    }
  }
  XDestroyImage(image);
  return pixels;
}

bool Screen::click(int x, int y) {
  if (!display_) {
    return false;
  }
  Display* display = asDisplay(display_);
  XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
  XSync(display, False);
  std::this_thread::sleep_for(30ms);  // let the client see the pointer arrive before the press
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  XSync(display, False);
  return true;
}

bool Screen::pressKey(const std::string& key, const std::vector<std::string>& modifiers) {
  if (!display_) {
    return false;
  }
  Display* display = asDisplay(display_);
  auto keycode = [display](const std::string& name) -> KeyCode {
    KeySym symbol = XStringToKeysym(name.c_str());
    return symbol == NoSymbol ? 0 : XKeysymToKeycode(display, symbol);
  };
  std::vector<KeyCode> held;
  for (const auto& modifier : modifiers) {
    KeyCode code = keycode(modifier);
    if (!code) {
      return false;
    }
    held.push_back(code);
  }
  KeyCode code = keycode(key);
  if (!code) {
    return false;
  }
  for (KeyCode modifier : held) {
    XTestFakeKeyEvent(display, modifier, True, CurrentTime);
  }
  XTestFakeKeyEvent(display, code, True, CurrentTime);
  XTestFakeKeyEvent(display, code, False, CurrentTime);
  for (auto modifier = held.rbegin(); modifier != held.rend(); ++modifier) {
    XTestFakeKeyEvent(display, *modifier, False, CurrentTime);
  }
  XSync(display, False);
  return true;
}

bool Screen::focus(unsigned long window) {
  if (!display_) {
    return false;
  }
  Display* display = asDisplay(display_);
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  return true;
}

// --- Artefacts ---

std::filesystem::path artifactsFolder() {
  std::filesystem::path folder = TARNWICK_ARTIFACTS_DIR;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return folder;
}

std::filesystem::path saveScreenshot(const std::string& display, const std::string& name) {
  auto path = artifactsFolder() / (name + ".png");
  Process::Options options;
  options.environment["DISPLAY"] = display;
  runCommand("/usr/bin/import", {"-window", "root", path.string()}, options, 30s);
  return path;
}

std::filesystem::path appExecutable() {
  return TARNWICK_APP_EXECUTABLE;
}

}  // namespace tarnwick::e2e
