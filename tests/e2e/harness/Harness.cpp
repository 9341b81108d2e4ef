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

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout,
               Clock::duration interval) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) {
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(interval);
  }
}

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

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data())) {
    path_ = pattern;
  }
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  if (!path_.empty()) {
    for (int pid : connectorsWithHome(path_)) {
      endProcess(pid);
    }
    std::filesystem::remove_all(path_, ignored);
  }
}

// --- Process ---

namespace {

std::vector<std::string> environmentWith(const Process::Options& options) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=');
    if (equals != std::string::npos) {
      merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  for (const auto& name : options.unset) {
    merged.erase(name);
  }
  for (const auto& [name, value] : options.environment) {
    merged[name] = value;
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) {
    result.push_back(name + "=" + value);
  }
  return result;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

}  // namespace

Process::Process(const std::string& path, const std::vector<std::string>& arguments)
    : Process(path, arguments, Options{}) {}

Process::Process(const std::string& path, const std::vector<std::string>& arguments,
                 const Options& options) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  auto environment = environmentWith(options);
  std::vector<char*> envp;
  for (auto& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::string out = options.stdoutFile ? options.stdoutFile->string() : "/dev/null";
  std::string err = options.stderrFile ? options.stderrFile->string() : "/dev/null";
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    pid_ = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (started() && !status_) {
    terminate();
  }
}

bool Process::running() {
  if (!started() || status_) {
    return false;
  }
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    status_ = decodeStatus(status);
    return false;
  }
  return true;
}

std::optional<int> Process::wait(Clock::duration timeout) {
  waitUntil([this] { return !running(); }, timeout, 20ms);
  return status_;
}

void Process::signal(int number) {
  if (running()) {
    ::kill(pid_, number);
  }
}

void Process::terminate() {
  signal(SIGTERM);
  if (!wait(3s)) {
    signal(SIGKILL);
    wait(3s);
  }
}

CommandResult runCommand(const std::string& path, const std::vector<std::string>& arguments,
                         const Process::Options& options, Clock::duration timeout) {
  TemporaryFolder folder("tarnwick-command");
  auto withOutput = options;
  withOutput.stdoutFile = folder.path() / "stdout";
  Process process(path, arguments, withOutput);
  CommandResult result;
  if (!process.started()) {
    return result;
  }
  result.status = process.wait(timeout).value_or(-1);
  std::ifstream file(folder.path() / "stdout");
  result.output.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return result;
}

// --- VirtualDisplay ---

VirtualDisplay::VirtualDisplay(int width, int height) : width_(width), height_(height) {
  int fds[2];
  if (::pipe(fds) != 0) {
    return;
  }
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  std::string fd = std::to_string(fds[1]);
  std::vector<std::string> arguments = {"Xvfb",     "-displayfd", fd,          "-screen",
                                        "0",        screen,       "-nolisten", "tcp",
                                        "-noreset", "+extension", "XTEST"};
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int spawned = ::posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(fds[0]);
    return;
  }
  pid_ = pid;
  // Xvfb writes the display number once it accepts connections.
  std::string number;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') {
    number += c;
  }
  ::close(fds[0]);
  if (!number.empty()) {
    name_ = ":" + number;
  }
}

VirtualDisplay::~VirtualDisplay() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
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
