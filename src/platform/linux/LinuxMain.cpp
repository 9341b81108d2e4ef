// The process entry of the Linux desktop build: support control first, with nothing but X11
// loaded; otherwise the windowed application, from its module in the bundle.
#include <dlfcn.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Main.h"
#include "platform/linux/DesktopModule.h"
#include "platform/linux/bundle/BundleLocation.h"
#include "platform/linux/support/X11SupportDevices.h"
#include "support/TarnwickSupportControl.h"

namespace tarnwick::platform::linux_desktop {

namespace {

std::optional<std::filesystem::path> desktopModulePath() {
  auto bundle = bundleOfRunningExecutable();
  if (!bundle) {
    return std::nullopt;
  }
  return *bundle / "Contents" / "Frameworks" / desktopModuleFile;
}

class LauncherStartup final : public app::Startup {
 public:
  LauncherStartup(int argc, char** argv)
      : argc_(argc), argv_(argv), arguments_(argv, argv + argc) {}

  std::optional<std::int32_t> runSupportControlIfRequested() override {
    // The display is opened only for a recognised command that needs it.
    X11SupportDeviceProvider devices;
    return support::TarnwickSupportControl::runIfRequested(arguments_, devices);
  }

  bool claimVisibleInstance() override {
    // Without the module nothing is claimed, and running the application fails at once.
    return !loadDesktop() || desktop_->claimVisibleInstance();
  }

  void activateExistingInstance() override {
    if (desktop_) {
      desktop_->activateExistingInstance();
    }
  }

  int runApplication() override { return desktop_ ? desktop_->runApplication() : 1; }

 private:
  // The module stays loaded to the end: GLib and WebKit keep threads and types that outlive
  // the application's run.
  bool loadDesktop() {
    auto path = desktopModulePath();
    if (!path) {
      std::cerr << "Tarnwick: the application must be run from inside its bundle\n";
      return false;
    }
    void* module = dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
    auto entry = module ? reinterpret_cast<DesktopStartupEntry>(dlsym(module, desktopStartupSymbol))
                        : nullptr;
    if (!entry) {
      const char* reason = dlerror();
      std::cerr << "Tarnwick: the application module could not be loaded: "
                << (reason ? reason : path->string()) << '\n';
      return false;
    }
    desktop_.reset(entry(argc_, argv_));
    return desktop_ != nullptr;
  }

  int argc_;
  char** argv_;
  std::vector<std::string> arguments_;
  std::unique_ptr<app::Startup> desktop_;
};

}  // namespace

}  // namespace tarnwick::platform::linux_desktop

int main(int argc, char** argv) {
  tarnwick::platform::linux_desktop::LauncherStartup startup(argc, argv);
  return tarnwick::app::runMain(startup, std::cout);
}
