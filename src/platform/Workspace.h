#pragma once

#include <string>

namespace tarnwick::platform {

class Workspace {
 public:
  virtual ~Workspace() = default;

  // Opens the URL with the user's default application for its scheme (for web URLs, the browser).
  virtual bool openURL(const std::string& url) = 0;
  // Brings the first running application with this identifier, other than this process, to the
  // front. False when there is none.
  virtual bool activateRunningApplication(const std::string& bundleIdentifier) = 0;
};

}  // namespace tarnwick::platform
