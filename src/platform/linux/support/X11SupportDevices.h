#pragma once

// The support-control devices on an X server: XTest for input, XGetImage for snapshots, and the
// window manager's protocol for bringing an application forward.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/SupportDevices.h"

namespace tarnwick::platform::linux_desktop {

// The X keysym of the key at a virtual key code's place on a US keyboard; nothing for codes that
// name no key X knows. Command keys become Control keys, as Command's shortcuts are Control's here.
std::optional<unsigned long> keysymForVirtualKey(std::uint16_t keyCode);

// The modifier keysyms to hold down for the canonical modifier flags, without repeats.
std::vector<unsigned long> modifierKeysymsForFlags(std::uint64_t flags);

// One keysym per character of the text, for typing it; characters that type nothing (control
// characters other than line breaks and tabs) are left out, an unpaired surrogate becomes U+FFFD.
std::vector<unsigned long> keysymsForText(const std::u16string& text);

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
