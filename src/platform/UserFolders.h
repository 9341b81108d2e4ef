#pragma once

#include <filesystem>
#include <optional>

namespace tarnwick::platform {

// Where this user's files live.
class UserFolders {
 public:
  virtual ~UserFolders() = default;

  virtual std::filesystem::path home() = 0;
  // The per-user folder for application data; absent when the system names none.
  virtual std::optional<std::filesystem::path> applicationSupport() = 0;
  virtual std::filesystem::path temporary() = 0;
};

}  // namespace tarnwick::platform
