#include "ShellSession.h"

#include <signal.h>

#include <thread>

namespace tarnwick::e2e {

namespace fs = std::filesystem;

namespace {

// The height GTK gives the shell's menu bar; the web view starts below it.
constexpr int menuBarAllowance = 40;

}  // namespace

ShellSession::ShellSession(PageText pageText) : home_("tarnwick-e2e-home") {
  if (display_.ready()) {
    screen_ = std::make_unique<Screen>(display_.name());
  }
  if (pageText == PageText::read && !home_.path().empty()) {
    auto socket = home_.path() / "session-bus";
    Process::Options options;
    options.stderrFile = home_.path() / "session-bus-stderr.txt";
    bus_ = std::make_unique<Process>(
        "/usr/bin/dbus-daemon",
        std::vector<std::string>{"--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + socket.string()},
        options);
    if (waitUntil([&] { return fs::exists(socket); }, 10s)) {
      busAddress_ = "unix:path=" + socket.string();
    }
  }
}

ShellSession::~ShellSession() {
  if (shell_) {
    shell_->terminate();
  }
  for (int pid : connectors()) {
    endProcess(pid);
  }
  // The accessibility services it started end with it.
  bus_.reset();
}

Process::Options ShellSession::environment(const std::string& logName) const {
  Process::Options options;
  options.environment = {{"DISPLAY", display_.name()}, {"HOME", home_.path().string()}};
  if (busAddress_.empty()) {
    options.environment["NO_AT_BRIDGE"] = "1";
  } else {
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
  }
  options.unset = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",      "XDG_RUNTIME_DIR",
                   "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "XDG_CURRENT_DESKTOP", "WAYLAND_DISPLAY"};
  options.stderrFile = home_.path() / (logName + "-stderr.txt");
  return options;
}

std::vector<std::string> ShellSession::pageText() {
  if (busAddress_.empty()) {
    return {};
  }
  auto options = environment("page-text");
  return linesOf(runCommand(TARNWICK_PAGE_TEXT_PROBE, {}, options, 20s).output);
}

bool ShellSession::waitForPageText(const std::string& text, Clock::duration timeout) {
  return waitUntil(
      [&] {
        auto lines = pageText();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
      },
      timeout);
}

bool ShellSession::launch(const fs::path& executable) {
  return launch(executable, {});
}

bool ShellSession::launch(const fs::path& executable,
                          const std::map<std::string, std::string>& extraEnvironment) {
  auto options = environment("shell");
  options.environment.insert(extraEnvironment.begin(), extraEnvironment.end());
  shell_ = std::make_unique<Process>(executable.string(), std::vector<std::string>{}, options);
  return shell_->started();
}

std::optional<WindowInfo> ShellSession::waitForMainWindow(Clock::duration timeout) {
  if (!screen_) {
    return std::nullopt;
  }
  // The main window is the shell's one large top-level window; its title follows the interface.
  main_ = screen_->waitForWindow(
      [](const WindowInfo& window) {
        return window.viewable && window.transientFor == 0 && window.width >= 760 &&
               window.height >= 560 && window.title.rfind("Tarnwick", 0) == 0;
      },
      timeout);
  return main_;
}

std::vector<WindowInfo> ShellSession::sheets() {
  std::vector<WindowInfo> found;
  if (!screen_ || !main_) {
    return found;
  }
  for (const auto& window : screen_->topLevelWindows()) {
    if (window.viewable && !window.overrideRedirect && window.transientFor != 0 &&
        window.id != main_->id) {
      found.push_back(window);
    }
  }
  return found;
}

std::optional<WindowInfo> ShellSession::waitForSheet(Clock::duration timeout) {
  std::optional<WindowInfo> sheet;
  waitUntil(
      [&] {
        auto all = sheets();
        if (all.empty()) {
          return false;
        }
        sheet = all.front();
        return true;
      },
      timeout, 100ms);
  return sheet;
}

bool ShellSession::pressKey(const WindowInfo& window, const std::string& key,
                            const std::vector<std::string>& modifiers) {
  if (!screen_) {
    return false;
  }
  // The pointer stays over the window too: with no window manager, X may send keys to it.
  screen_->focus(window.id);
  std::this_thread::sleep_for(100ms);
  return screen_->pressKey(key, modifiers);
}

std::optional<ShellSession::Rectangle> ShellSession::content() {
  if (!main_) {
    return std::nullopt;
  }
  return Rectangle{main_->x, main_->y + menuBarAllowance, main_->width,
                   main_->height - menuBarAllowance};
}

std::optional<WindowInfo> ShellSession::openApplicationMenu() {
  if (!main_ || !screen_) {
    return std::nullopt;
  }
  screen_->focus(main_->id);
  std::this_thread::sleep_for(100ms);
  if (!screen_->click(main_->x + 20, main_->y + 12)) {
    return std::nullopt;
  }
  return screen_->waitForWindow(
      [](const WindowInfo& window) {
        return window.viewable && window.overrideRedirect && window.width > 60 &&
               window.height > 40;
      },
      10s);
}

bool ShellSession::clickInContent(int x, int y) {
  auto area = content();
  if (!area || !screen_) {
    return false;
  }
  screen_->focus(main_->id);
  return screen_->click(area->x + x, area->y + y);
}

std::vector<int> ShellSession::connectors() {
  return connectorsWithHome(home_.path());
}

std::vector<int> ShellSession::webProcesses() {
  if (!shell_ || !shell_->started()) {
    return {};
  }
  return childProcesses(shell_->pid(), "WebKitWebProces");
}

}  // namespace tarnwick::e2e
