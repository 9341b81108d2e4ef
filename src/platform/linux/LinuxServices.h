#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bundle.h"
#include "platform/CommandRunner.h"
#include "platform/DeviceOwnerAuth.h"
#include "platform/HttpClient.h"
#include "platform/LoginItems.h"
#include "platform/MainQueue.h"

namespace tarnwick::platform::linux_desktop {

// Where this system keeps a tool named by its canonical path.
std::string linuxToolLocation(const std::string& canonicalPath);
// The same for a program whose bundle is `bundle` (none: not run from a bundle).
std::string linuxToolLocationFor(const std::string& canonicalPath,
                                 const std::optional<std::filesystem::path>& bundle);

// The backend's network, login-item and authentication services.
class LinuxServices {
 public:
  virtual ~LinuxServices() = default;
  virtual HttpClient& http() = 0;
  virtual LoginItems& loginItems() = 0;
  virtual DeviceOwnerAuth& deviceOwnerAuth() = 0;
};

std::unique_ptr<LinuxServices> makeLinuxServices(MainQueue& mainQueue, Bundle& bundle,
                                                 CommandRunner& commands);

}  // namespace tarnwick::platform::linux_desktop
