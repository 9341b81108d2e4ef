#include "platform/linux/LinuxServices.h"

#include <map>

#include "platform/linux/auth/PamDeviceOwnerAuth.h"
#include "platform/linux/bundle/BundleLocation.h"
#include "platform/linux/bundle/LinuxLoginItems.h"
#include "platform/linux/net/CurlHttpClient.h"
#include "platform/linux/shell/UnlockPrompt.h"

namespace tarnwick::platform::linux_desktop {

std::string linuxToolLocationFor(const std::string& canonicalPath,
                                 const std::optional<std::filesystem::path>& bundle) {
  // Debian keeps these elsewhere; argument lists never change, only where the tool lives.
  static const std::map<std::string, std::string> moved = {
      {"/usr/sbin/lsof", "/usr/bin/lsof"},
  };
  // The updater's tools have no Linux counterpart: the bundle carries its own, with the same
  // argument lists, in Contents/Helpers. Outside a bundle they stay where nothing is found.
  static const std::map<std::string, std::string> helpers = {
      {"/usr/bin/hdiutil", "hdiutil"}, {"/usr/bin/codesign", "codesign"},
      {"/usr/sbin/spctl", "spctl"},    {"/usr/bin/ditto", "ditto"},
      {"/usr/bin/xattr", "xattr"},     {"/usr/bin/open", "open"},
      {"/bin/launchctl", "launchctl"},
  };
  if (auto helper = helpers.find(canonicalPath); helper != helpers.end()) {
    return bundle ? (*bundle / "Contents" / "Helpers" / helper->second).string() : canonicalPath;
  }
  auto found = moved.find(canonicalPath);
  return found == moved.end() ? canonicalPath : found->second;
}

std::string linuxToolLocation(const std::string& canonicalPath) {
  static const auto bundle = bundleOfRunningExecutable();
  return linuxToolLocationFor(canonicalPath, bundle);
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
