#pragma once

#include <filesystem>

#include "platform/DeviceOwnerAuth.h"
#include "platform/LoginItems.h"
#include "platform/Pasteboard.h"
#include "platform/Preferences.h"
#include "platform/UserFolders.h"
#include "platform/Workspace.h"

namespace tarnwick::platform::linux_desktop {

// XDG base directories: application data in $XDG_DATA_HOME (or ~/.local/share).
class XdgUserFolders final : public UserFolders {
 public:
  std::filesystem::path home() override;
  std::optional<std::filesystem::path> applicationSupport() override;
  std::filesystem::path temporary() override;
};

// A GLib key file in the XDG config folder: Tarnwick/preferences.ini.
class KeyFilePreferences final : public Preferences {
 public:
  explicit KeyFilePreferences(std::filesystem::path file);
  std::optional<std::string> string(const std::string& key) override;
  std::optional<Date> date(const std::string& key) override;
  void setString(const std::string& key, const std::string& value) override;
  void setDate(const std::string& key, Date value) override;
  Date now() override;

 private:
  std::filesystem::path file_;
};

class GtkPasteboard final : public Pasteboard {
 public:
  std::optional<std::string> plainText() override;
};

class GioWorkspace final : public Workspace {
 public:
  bool openURL(const std::string& url) override;
  bool activateRunningApplication(const std::string& bundleIdentifier) override;
};

}  // namespace tarnwick::platform::linux_desktop
