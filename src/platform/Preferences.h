#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tarnwick::platform {

using Date = std::chrono::system_clock::time_point;

// The application's per-user preferences. A value read back with the wrong kind is absent.
class Preferences {
 public:
  virtual ~Preferences() = default;

  virtual std::optional<std::string> string(const std::string& key) = 0;
  virtual std::optional<Date> date(const std::string& key) = 0;
  virtual void setString(const std::string& key, const std::string& value) = 0;
  virtual void setDate(const std::string& key, Date value) = 0;
  virtual Date now() = 0;
};

}  // namespace tarnwick::platform
