#pragma once

#include <string>

namespace tarnwick::platform {

// Helper applications inside this bundle that start at login. Enabling one also starts it now.
class LoginItems {
 public:
  virtual ~LoginItems() = default;
  virtual bool setEnabled(const std::string& bundleIdentifier, bool enabled) = 0;
  // Whether a copy of the login item runs now.
  virtual bool isRunning(const std::string& bundleIdentifier) = 0;
};

}  // namespace tarnwick::platform
