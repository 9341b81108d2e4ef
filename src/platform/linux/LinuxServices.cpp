#include "platform/linux/LinuxServices.h"

#include <map>

#include "platform/linux/BundleLocation.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/LinuxLoginItems.h"

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

class NoDeviceOwnerAuth final : public DeviceOwnerAuth {
  class Context final : public DeviceOwnerAuthContext {
   public:
    void setCancelTitle(const std::string&) override {}
    bool canEvaluate() override { return false; }
    void evaluate(const std::string&, std::function<void(bool)> reply) override { reply(false); }
  };

 public:
  std::unique_ptr<DeviceOwnerAuthContext> makeContext() override {
    return std::make_unique<Context>();
  }
};

class Services final : public LinuxServices {
 public:
  Services(Bundle& bundle, CommandRunner& commands)
      : loginItems_(bundle, commands, defaultAutostartFolder()) {}

  HttpClient& http() override { return http_; }
  LoginItems& loginItems() override { return loginItems_; }
  DeviceOwnerAuth& deviceOwnerAuth() override { return auth_; }

 private:
  CurlHttpClient http_;
  LinuxLoginItems loginItems_;
  NoDeviceOwnerAuth auth_;
};

}  // namespace

std::unique_ptr<LinuxServices> makeLinuxServices(MainQueue&, Bundle& bundle,
                                                 CommandRunner& commands) {
  return std::make_unique<Services>(bundle, commands);
}

}  // namespace tarnwick::platform::linux_desktop
