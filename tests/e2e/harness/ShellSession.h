#pragma once

// One run of the shell for an end-to-end test: a private X server, a private home (no XDG
// variables, so every data and config folder lies inside it), the shell started by pid, and at the
// end the shell and every Connector it left running in that home ended by pid.
//
// A session that reads page text runs a private session bus too, and its processes talk to the
// accessibility services on it, as on a desktop with a screen reader.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Harness.h"

namespace tarnwick::e2e {

class ShellSession {
 public:
  enum class PageText { unread, read };
  explicit ShellSession(PageText pageText = PageText::unread);
  ~ShellSession();
  ShellSession(const ShellSession&) = delete;
  ShellSession& operator=(const ShellSession&) = delete;

  bool ready() const { return display_.ready() && !home_.path().empty(); }
  const std::string& displayName() const { return display_.name(); }
  const std::filesystem::path& home() const { return home_.path(); }
  Screen& screen() { return *screen_; }

  // The environment every process of this session gets.
  Process::Options environment(const std::string& logName) const;

  bool launch(const std::filesystem::path& executable = appExecutable());
  // The same, with variables added to the session's environment (the shell passes them on to
  // the Connector it starts).
  bool launch(const std::filesystem::path& executable,
              const std::map<std::string, std::string>& extraEnvironment);
  Process& shell() { return *shell_; }

  // The shell's main window once it is on screen.
  std::optional<WindowInfo> waitForMainWindow(Clock::duration timeout = 30s);
  // Windows the shell shows over its main window (sheets and panels).
  std::vector<WindowInfo> sheets();
  std::optional<WindowInfo> waitForSheet(Clock::duration timeout = 15s);

  // Keys and clicks for the main window (or a sheet): focused first, as a window manager would.
  bool pressKey(const WindowInfo& window, const std::string& key,
                const std::vector<std::string>& modifiers = {});
  // Opens the main window's first menu with a click on its title in the menu bar; the pop-up
  // once it is on screen.
  std::optional<WindowInfo> openApplicationMenu();
  // A click at a point of the main window's content, below its menu bar.
  bool clickInContent(int x, int y);

  // Connector processes started for this session's home (found by executable name and HOME).
  std::vector<int> connectors();
  // The shell's web content processes.
  std::vector<int> webProcesses();

  // What the web view shows, a line for each piece of text, as a screen reader reads it; nothing
  // when the session does not read page text or no page is up yet.
  std::vector<std::string> pageText();
  // Waits until some piece of text is exactly the given one.
  bool waitForPageText(const std::string& text, Clock::duration timeout = 30s);

  std::filesystem::path screenshot(const std::string& name) {
    return saveScreenshot(displayName(), name);
  }

  // The main window's content, below the menu bar: the web view.
  struct Rectangle {
    int x = 0, y = 0, width = 0, height = 0;
  };
  std::optional<Rectangle> content();

 private:
  VirtualDisplay display_;
  TemporaryFolder home_;
  std::unique_ptr<Process> bus_;  // the private session bus, when page text is read
  std::string busAddress_;
  std::unique_ptr<Screen> screen_;
  std::unique_ptr<Process> shell_;
  std::optional<WindowInfo> main_;
};

}  // namespace tarnwick::e2e
