#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/MainQueue.h"

namespace tarnwick::platform {

// Permission queries of the support-control mode. Where the system cannot prompt, a request asks
// the same question as the status.
class PrivacyAccess {
 public:
  virtual ~PrivacyAccess() = default;
  virtual bool isTrustedForAccessibility(bool prompt) = 0;
  virtual bool screenCaptureAllowed() = 0;
  virtual bool requestScreenCapture() = 0;
};

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width × height × 3 bytes, rows top to bottom
};

class Screen {
 public:
  virtual ~Screen() = default;
  // Everything on every display, composed into one image; nothing when capture failed.
  virtual std::optional<Image> captureAllDisplays() = 0;
};

class ImageEncoder {
 public:
  virtual ~ImageEncoder() = default;
  // JPEG data at `quality` (0 to 1); nothing when the image cannot be encoded.
  virtual std::optional<std::vector<std::uint8_t>> encodeJPEG(const Image& image,
                                                              double quality) = 0;
};

enum class MouseButton { left, right };

// Modifier flags of key events, in the canonical virtual-key masks.
namespace keyFlags {
inline constexpr std::uint64_t capsLock = 0x10000;
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
}  // namespace keyFlags

// Synthetic input, posted as if it came from the hardware. Key codes and flags are the canonical
// virtual key codes and modifier masks; the backend maps them to its own.
class InputEvents {
 public:
  virtual ~InputEvents() = default;
  // One press and release of the key with exactly these modifiers.
  virtual bool postKey(std::uint16_t keyCode, std::uint64_t flags) = 0;
  // One key-down/key-up pair carrying the given UTF-16 code units as its text.
  virtual bool postText(const std::u16string& chunk) = 0;
  // One button press and release at the point (global coordinates, origin top left); clickState
  // 1 is a single click, 2 the second click of a double click.
  virtual bool postClick(double x, double y, MouseButton button, std::int64_t clickState) = 0;
  // One scroll event of `lines` lines; positive scrolls up.
  virtual bool postScroll(std::int32_t lines) = 0;
};

class RunningApplications {
 public:
  virtual ~RunningApplications() = default;
  // Brings the first running application with this identifier to the front, ahead of every other
  // application. False when none runs.
  virtual bool activateFirst(const std::string& bundleIdentifier) = 0;
};

// The devices of one support-control command, valid as long as their provider.
struct SupportDevices {
  PrivacyAccess& privacy;
  Screen& screen;
  ImageEncoder& encoder;
  InputEvents& input;
  RunningApplications& applications;
  Sleeper& sleeper;
};

// Opens the devices on first use, so that a command line that is refused touches nothing.
class SupportDeviceProvider {
 public:
  virtual ~SupportDeviceProvider() = default;
  virtual SupportDevices devices() = 0;
};

}  // namespace tarnwick::platform
