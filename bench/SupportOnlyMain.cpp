// The support-control mode alone, linked without the GTK and WebKit backend: what the mode's
// start would cost if it did not carry the windowed application's libraries.
#include <iostream>

#include "app/Main.h"
#include "platform/linux/X11SupportDevices.h"
#include "support/TarnwickSupportControl.h"

namespace {

class SupportOnlyStartup final : public tarnwick::app::Startup {
 public:
  SupportOnlyStartup(int argc, char** argv) : arguments_(argv, argv + argc) {}
  std::optional<std::int32_t> runSupportControlIfRequested() override {
    tarnwick::platform::linux_desktop::X11SupportDeviceProvider devices;
    return tarnwick::support::TarnwickSupportControl::runIfRequested(arguments_, devices);
  }
  bool claimVisibleInstance() override { return true; }
  void activateExistingInstance() override {}
  int runApplication() override { return 64; }  // there is no application here

 private:
  std::vector<std::string> arguments_;
};

}  // namespace

int main(int argc, char** argv) {
  SupportOnlyStartup startup(argc, argv);
  return tarnwick::app::runMain(startup, std::cout);
}
