#pragma once

// The support-control devices on an X server: XTest for input, XGetImage for snapshots, and the
// window manager's protocol for bringing an application forward.

#include <memory>
#include <string>

#include "platform/SupportDevices.h"
#include "platform/linux/support/X11KeyMap.h"

namespace tarnwick::platform::linux_desktop {

// Whether a top-level window's WM_CLASS names the application: the whole identifier, or its last
// part in any letter case.
bool windowClassMatches(const std::string& bundleIdentifier, const std::string& instanceName,
                        const std::string& className);

// Opens the display (from DISPLAY) the first time devices are asked for, never before.
class X11SupportDeviceProvider final : public SupportDeviceProvider {
 public:
  X11SupportDeviceProvider();
  ~X11SupportDeviceProvider() override;
  X11SupportDeviceProvider(const X11SupportDeviceProvider&) = delete;
  X11SupportDeviceProvider& operator=(const X11SupportDeviceProvider&) = delete;

  SupportDevices devices() override;
  bool opened() const { return devices_ != nullptr; }

 private:
  struct Devices;
  std::unique_ptr<Devices> devices_;
};

}  // namespace tarnwick::platform::linux_desktop
