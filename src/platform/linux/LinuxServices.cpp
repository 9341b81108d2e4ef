#include "platform/linux/LinuxServices.h"

#include <map>

#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/LinuxLoginItems.h"

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
