#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bundle.h"
#include "platform/CommandRunner.h"
#include "platform/LoginItems.h"

namespace tarnwick::platform::linux_desktop {

// A helper application inside this bundle, found by its bundle identifier.
struct LoginItem {
  std::filesystem::path bundle;      // Contents/Library/LoginItems/<name>.app
  std::filesystem::path executable;  // its Contents/MacOS/<CFBundleExecutable>
  std::string name;                  // CFBundleName, or the folder's name without ".app"
};

// The helper in `bundle`'s Contents/Library/LoginItems whose Info.plist names `identifier`.
// Nothing when there is none, or when its executable name would lead outside its own folder.
std::optional<LoginItem> findLoginItem(const std::filesystem::path& bundle,
                                       const std::string& identifier);

// The Exec value of a desktop entry that runs `path` with no arguments: quoted, so spaces and
// shell characters stay part of the path. Nothing when the path holds a line break or a NUL.
std::optional<std::string> desktopEntryExec(const std::string& path);

// The autostart folder of the XDG desktops: $XDG_CONFIG_HOME/autostart when that is an absolute
// path, otherwise ~/.config/autostart.
std::filesystem::path defaultAutostartFolder();

// Processes of this user whose executable is `executable`, other than this process.
std::vector<pid_t> runningCopies(const std::filesystem::path& executable);

// Login items as the XDG desktops know them. Enabling writes an autostart entry and starts the
// helper now unless a copy already runs; disabling removes the entry and stops running copies,
// waiting a moment for them to go so that a fresh start finds the helper's resources free.
class LinuxLoginItems final : public LoginItems {
 public:
  LinuxLoginItems(Bundle& bundle, CommandRunner& commands, std::filesystem::path autostartFolder,
                  std::chrono::milliseconds exitWait = std::chrono::milliseconds(1000));

  bool setEnabled(const std::string& bundleIdentifier, bool enabled) override;
  bool isRunning(const std::string& bundleIdentifier) override;

 private:
  bool enable(const std::string& identifier, const LoginItem& item);
  bool disable(const std::string& identifier, const LoginItem& item);

  Bundle& bundle_;
  CommandRunner& commands_;
  std::filesystem::path autostartFolder_;
  std::chrono::milliseconds exitWait_;
};

}  // namespace tarnwick::platform::linux_desktop
