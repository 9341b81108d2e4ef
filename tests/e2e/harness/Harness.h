#pragma once

// Shared pieces of the end-to-end tests: a private X server, processes started and ended by pid,
// a look at the X server's windows and pixels, and screenshots kept as test artefacts.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Processes.h"
#include "VirtualDisplay.h"

namespace tarnwick::e2e {

using testsupport::Clock;
using testsupport::CommandResult;
using testsupport::linesOf;
using testsupport::Process;
using testsupport::readFile;
using testsupport::runCommand;
using testsupport::treeOf;
using testsupport::VirtualDisplay;
using testsupport::waitUntil;
using testsupport::writeFile;
using namespace std::chrono_literals;

// Ends a process that is not our child: SIGTERM, then SIGKILL if it is still there after 3 s.
void endProcess(int pid);
bool processGone(int pid);

// Processes whose parent is `parent` and whose command name starts with `prefix`.
std::vector<int> childProcesses(int parent, const std::string& prefix);

// Connectors (the bundle's login item) running with `home` as their HOME: a shell started with
// that home started them.
std::vector<int> connectorsWithHome(const std::filesystem::path& home);

// A temporary folder removed with the object. A shell run with it as its home may have started
// the Connector, which outlives the shell; it is ended first.
class TemporaryFolder : public testsupport::TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix = "tarnwick-e2e")
      : testsupport::TemporaryFolder(prefix) {}
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
};

struct WindowInfo {
  unsigned long id = 0;
  std::string title;
  std::string wmClass;
  int x = 0, y = 0, width = 0, height = 0;
  bool viewable = false;
  bool overrideRedirect = false;  // tooltips, menus and other pop-ups the window manager never sees
  unsigned long transientFor = 0;
};

bool isShellWindow(const WindowInfo& window);

struct Pixel {
  int red = 0, green = 0, blue = 0;
};

// A client connection to the display, for looking at what the shell shows.
class Screen {
 public:
  explicit Screen(const std::string& display);
  ~Screen();
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  bool connected() const { return display_ != nullptr; }
  // Top-level windows (children of the root), viewable or not.
  std::vector<WindowInfo> topLevelWindows();
  std::vector<WindowInfo> viewableWindowsTitled(const std::string& title);
  // The shell's main window: viewable, not a dialog, titled "Tarnwick" or "Tarnwick <…>" (the
  // title names the version once a page has loaded).
  std::vector<WindowInfo> shellWindows();
  std::optional<WindowInfo> waitForWindow(const std::function<bool(const WindowInfo&)>& match,
                                          Clock::duration timeout);
  std::optional<Pixel> pixel(int x, int y);
  // The pixels of a rectangle of the screen, row by row; empty when it cannot be read.
  std::vector<Pixel> capture(int x, int y, int width, int height);

  // Synthetic input through XTest, as a user's would arrive. Keys are X keysym names ("Return",
  // "Escape", "v"); modifiers too ("Control_L", "Shift_L").
  bool click(int x, int y);
  bool pressKey(const std::string& key, const std::vector<std::string>& modifiers = {});
  // Gives a window the keyboard focus, as a window manager would on a click.
  bool focus(unsigned long window);

 private:
  void* display_ = nullptr;
};

// Saves the whole screen as <artefacts>/<name>.png and gives the path.
std::filesystem::path saveScreenshot(const std::string& display, const std::string& name);
std::filesystem::path artifactsFolder();

// The bundle's executable, as built.
std::filesystem::path appExecutable();

}  // namespace tarnwick::e2e
