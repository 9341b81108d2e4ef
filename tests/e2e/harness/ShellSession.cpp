#include "ShellSession.h"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace tarnwick::e2e {

namespace fs = std::filesystem;

namespace {

// The height GTK gives the shell's menu bar; the web view starts below it.
constexpr int menuBarAllowance = 40;

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
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::string name = entry.path().filename();
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
      pids.push_back(std::stoi(name));
    }
  }
  return pids;
}

struct Status {
  std::string command;
  char state = '?';
  int parent = 0;
};

std::optional<Status> statusOf(int pid) {
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
  Status status;
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

ShellSession::ShellSession() : home_("tarnwick-e2e-home") {
  if (display_.ready()) {
    screen_ = std::make_unique<Screen>(display_.name());
  }
}

ShellSession::~ShellSession() {
  if (shell_) {
    shell_->terminate();
  }
  for (int pid : connectors()) {
    endProcess(pid);
  }
}

Process::Options ShellSession::environment(const std::string& logName) const {
  Process::Options options;
  options.environment = {
      {"DISPLAY", display_.name()}, {"HOME", home_.path().string()}, {"NO_AT_BRIDGE", "1"}};
  options.unset = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",      "XDG_RUNTIME_DIR",
                   "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "XDG_CURRENT_DESKTOP", "WAYLAND_DISPLAY"};
  options.stderrFile = home_.path() / (logName + "-stderr.txt");
  return options;
}

bool ShellSession::launch(const fs::path& executable) {
  shell_ = std::make_unique<Process>(executable.string(), std::vector<std::string>{},
                                     environment("shell"));
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
    if (window.viewable && window.transientFor != 0 && window.id != main_->id) {
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

bool ShellSession::clickInContent(int x, int y) {
  auto area = content();
  if (!area || !screen_) {
    return false;
  }
  screen_->focus(main_->id);
  return screen_->click(area->x + x, area->y + y);
}

std::vector<int> ShellSession::connectors() {
  return connectorsStartedFor(home_.path());
}

ConnectorsOfHome::~ConnectorsOfHome() {
  for (int pid : connectorsStartedFor(home_)) {
    endProcess(pid);
  }
}

std::vector<int> connectorsStartedFor(const fs::path& home) {
  std::vector<int> found;
  for (int pid : numericEntries()) {
    std::error_code error;
    auto executable = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
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

std::vector<int> ShellSession::webProcesses() {
  if (!shell_ || !shell_->started()) {
    return {};
  }
  return childProcesses(shell_->pid(), "WebKitWebProces");
}

}  // namespace tarnwick::e2e
