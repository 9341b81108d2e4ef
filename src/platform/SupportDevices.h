#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::platform {

// Permission queries of the support-control mode.
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

enum class MouseButton { left, right };

// Synthetic input, posted as if it came from the hardware. Key codes and flags are the canonical
// virtual key codes and modifier masks; the backend maps them to its own.
class InputEvents {
 public:
  virtual ~InputEvents() = default;
  virtual bool postKey(std::uint16_t keyCode, std::uint64_t flags) = 0;
  // One key-down/key-up pair carrying the given UTF-16 code units as its text.
  virtual bool postText(const std::u16string& chunk) = 0;
  virtual bool postClick(double x, double y, MouseButton button, std::int64_t clickState) = 0;
  virtual bool postScroll(std::int32_t lines) = 0;
};

}  // namespace tarnwick::platform
