// The entry point with the real bundle: a refused second copy, support commands alongside the
// windowed copy, and a data folder that cannot hold the lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <thread>

#include "CoveringWindow.h"
#include "Harness.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

// Top-level windows come bottom to top.
bool stackedAbove(Screen& screen, unsigned long upper, unsigned long lower) {
  auto windows = screen.topLevelWindows();
  auto position = [&](unsigned long id) {
    return std::find_if(windows.begin(), windows.end(),
                        [&](const WindowInfo& window) { return window.id == id; });
  };
  auto up = position(upper), down = position(lower);
  return up != windows.end() && down != windows.end() && up > down;
}

std::set<unsigned long> viewableWindows(Screen& screen) {
  std::set<unsigned long> ids;
  for (const auto& window : screen.topLevelWindows()) {
    if (window.viewable) {
      ids.insert(window.id);
    }
  }
  return ids;
}

// The shell's environment: a home of its own, on the given display.
Process::Options shellOptions(const fs::path& home, const std::string& display,
                              const std::string& name) {
  Process::Options options;
  options.environment = {{"HOME", home.string()}};
  if (!display.empty()) {
    options.environment["DISPLAY"] = display;
  }
  options.unset = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                   "WAYLAND_DISPLAY"};
  if (display.empty()) {
    options.unset.push_back("DISPLAY");
  }
  options.stderrFile = home / (name + "-stderr.txt");
  return options;
}

TEST(Entry, ASecondCopyOpensNoWindowExitsZeroAndBringsTheFirstForward) {
  VirtualDisplay display;
  ASSERT_TRUE(display.ready());
  TemporaryFolder home;
  Process first(appExecutable().string(), {}, shellOptions(home.path(), display.name(), "first"));
  ASSERT_TRUE(first.started());
  Screen screen(display.name());
  ASSERT_TRUE(screen.connected());
  auto window = screen.waitForWindow(isShellWindow, 30s);
  ASSERT_TRUE(window) << "the first copy showed no window";
  auto lockFolder = home.path() / ".local" / "share" / "Tarnwick";
  EXPECT_TRUE(fs::is_regular_file(lockFolder / "visible-app.lock"));
  EXPECT_TRUE(fs::is_socket(lockFolder / "visible-app.socket"));

  // The shell raises its window as it finishes launching; cover it once that is over, that is
  // once the cover stays on top for a while.
  CoveringWindow cover(display.name(), display.width(), display.height());
  ASSERT_TRUE(waitUntil(
      [&] {
        cover.raise();
        return !waitUntil([&] { return !stackedAbove(screen, cover.id(), window->id); }, 1500ms);
      },
      20s));
  auto windowsBefore = viewableWindows(screen);

  // A support command alongside the first copy: one marker line, its own status, and the first
  // copy neither activated nor disturbed.
  auto control = runCommand(appExecutable().string(), {"--tarnwick-support-nonexistent"},
                            shellOptions(home.path(), display.name(), "control"), 30s);
  EXPECT_EQ(control.status, 2);
  EXPECT_EQ(control.output, "TARNWICK_CONTROL_DENIED\n");
  std::this_thread::sleep_for(1s);  // time for a wrongful activation to show
  EXPECT_TRUE(stackedAbove(screen, cover.id(), window->id)) << "the support command activated it";
  EXPECT_TRUE(first.running());

  auto second = runCommand(appExecutable().string(), {"tarnwick://plaid-complete"},
                           shellOptions(home.path(), display.name(), "second"), 30s);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.output, "");
  EXPECT_TRUE(waitUntil([&] { return stackedAbove(screen, window->id, cover.id()); }, 10s))
      << "the first copy did not come forward";
  saveScreenshot(display.name(), "entry-second-copy-brought-first-forward");
  EXPECT_EQ(viewableWindows(screen), windowsBefore);  // no window of the second copy's own
  EXPECT_EQ(screen.shellWindows().size(), 1U);
  EXPECT_TRUE(first.running());
}

TEST(Entry, ASupportCommandRunsBeforeTheLockFolderIsTouched) {
  TemporaryFolder home;
  auto control = runCommand(appExecutable().string(), {"--tarnwick-support-nonexistent"},
                            shellOptions(home.path(), "", "control"), 30s);
  EXPECT_EQ(control.status, 2);
  EXPECT_EQ(control.output, "TARNWICK_CONTROL_DENIED\n");
  EXPECT_FALSE(fs::exists(home.path() / ".local" / "share" / "Tarnwick"));
}

TEST(Entry, ADataFolderThatCannotHoldTheLockStillOpensTheWindow) {
  VirtualDisplay display;
  ASSERT_TRUE(display.ready());
  TemporaryFolder home;
  std::ofstream(home.path() / "file") << "a regular file, not a folder";
  auto options = shellOptions(home.path(), display.name(), "first");
  options.environment["XDG_DATA_HOME"] = (home.path() / "file" / "data").string();
  options.unset.erase(std::remove(options.unset.begin(), options.unset.end(), "XDG_DATA_HOME"),
                      options.unset.end());
  Process first(appExecutable().string(), {}, options);
  Screen screen(display.name());
  ASSERT_TRUE(screen.connected());
  EXPECT_TRUE(screen.waitForWindow(isShellWindow, 30s)) << "no window without a lock";
  EXPECT_TRUE(first.running());
}

// A desktop entry may pass 128 KiB in one argument and a second copy hands on up to 64 KiB: the
// shell must answer such links as it answers any other, not crash on them.
TEST(Entry, LongLinksOnTheCommandLineAndFromASecondCopyLeaveTheShellRunning) {
  VirtualDisplay display;
  ASSERT_TRUE(display.ready());
  TemporaryFolder home;
  std::string longPairing = "tarnwick://desktop-pair?code=";
  longPairing.append(120'000 - longPairing.size(), 'a');
  Process first(appExecutable().string(), {longPairing},
                shellOptions(home.path(), display.name(), "first"));
  ASSERT_TRUE(first.started());
  Screen screen(display.name());
  ASSERT_TRUE(screen.connected());
  EXPECT_TRUE(screen.waitForWindow(isShellWindow, 30s)) << "no window after a 120 KB link";
  ASSERT_TRUE(first.running());

  std::string longInvitation =
      "tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/";
  longInvitation.append(60'000 - longInvitation.size() - 5, 'a');
  longInvitation += "/pair";
  auto second = runCommand(appExecutable().string(), {longInvitation},
                           shellOptions(home.path(), display.name(), "second"), 30s);
  EXPECT_EQ(second.status, 0);
  std::this_thread::sleep_for(2s);  // time for the first copy to route the link
  EXPECT_TRUE(first.running()) << "the running copy ended on a 60 KB invitation";
  EXPECT_EQ(screen.shellWindows().size(), 1U);
}

}  // namespace
}  // namespace tarnwick::e2e
