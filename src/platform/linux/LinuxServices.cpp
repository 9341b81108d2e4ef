#include "platform/linux/LinuxServices.h"

#include <map>

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

// Not built yet: every request fails as if the network were down.
class NoHttpClient final : public HttpClient {
 public:
  void dataTask(HttpRequest, DataCompletion completion) override {
    HttpResponse response;
    response.transportError = "The network is not available.";
    completion(response);
  }
  void downloadTask(HttpRequest, DownloadCompletion completion) override {
    HttpResponse response;
    response.transportError = "The network is not available.";
    completion(response, std::nullopt);
  }
};

class NoLoginItems final : public LoginItems {
 public:
  bool setEnabled(const std::string&, bool) override { return false; }
};

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
  HttpClient& http() override { return http_; }
  LoginItems& loginItems() override { return loginItems_; }
  DeviceOwnerAuth& deviceOwnerAuth() override { return auth_; }

 private:
  NoHttpClient http_;
  NoLoginItems loginItems_;
  NoDeviceOwnerAuth auth_;
};

}  // namespace

std::unique_ptr<LinuxServices> makeLinuxServices(MainQueue&, Bundle&, CommandRunner&) {
  return std::make_unique<Services>();
}

}  // namespace tarnwick::platform::linux_desktop
