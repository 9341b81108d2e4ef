#include "platform/linux/LinuxServices.h"

#include <map>

#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/LinuxLoginItems.h"
#include "platform/linux/PamDeviceOwnerAuth.h"
#include "platform/linux/UnlockPrompt.h"

namespace tarnwick::platform::linux_desktop {

std::string linuxToolLocation(const std::string& canonicalPath) {
  // Debian keeps these elsewhere; argument lists never change, only where the tool lives.
  static const std::map<std::string, std::string> moved = {
      {"/usr/sbin/lsof", "/usr/bin/lsof"},
  };
  auto found = moved.find(canonicalPath);
  return found == moved.end() ? canonicalPath : found->second;
}

namespace {

class Services final : public LinuxServices {
 public:
  Services(Bundle& bundle, CommandRunner& commands, std::function<GtkWindow*()> promptParent)
      : loginItems_(bundle, commands, defaultAutostartFolder()),
        auth_(systemPamSetup(commands),
              std::make_shared<GtkOwnerPrompts>(std::move(promptParent))) {}

  HttpClient& http() override { return http_; }
  LoginItems& loginItems() override { return loginItems_; }
  DeviceOwnerAuth& deviceOwnerAuth() override { return auth_; }

 private:
  CurlHttpClient http_;
  LinuxLoginItems loginItems_;
  PamDeviceOwnerAuth auth_;
};

}  // namespace

std::unique_ptr<LinuxServices> makeLinuxServices(MainQueue&, Bundle& bundle,
                                                 CommandRunner& commands,
                                                 std::function<GtkWindow*()> promptParent) {
  return std::make_unique<Services>(bundle, commands, std::move(promptParent));
}

}  // namespace tarnwick::platform::linux_desktop
