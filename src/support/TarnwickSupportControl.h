#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SupportDevices.h"

namespace tarnwick::support {

// The executable's command-line support-control mode: one command, one result code. A namespace of
// static operations over the support devices; it keeps no state.
class TarnwickSupportControl {
 public:
  static constexpr std::string_view prefix = "--tarnwick-support-";

  // Result codes.
  static constexpr std::int32_t done = 0;
  static constexpr std::int32_t notRecognised = 2;
  static constexpr std::int32_t notGranted = 3;
  static constexpr std::int32_t failed = 4;

  static constexpr std::size_t textChunkSize = 20;  // UTF-16 code units per text event
  static constexpr std::uint16_t newDocumentKeyCode = 45;
  static constexpr double pauseBeforeActivating = 0.8;
  static constexpr double pauseAfterActivating = 0.25;
  static constexpr double pauseAfterShortcut = 0.4;
  static constexpr double snapshotQuality = 0.72;

  // Nothing when the arguments (the executable path first) ask for no support-control command.
  // Devices are asked for only once a command has been recognised with acceptable operands.
  static std::optional<std::int32_t> runIfRequested(const std::vector<std::string>& arguments,
                                                    platform::SupportDeviceProvider& provider);

  // The actions; each says whether it did its work.
  static bool snapshot(platform::Screen& screen, platform::ImageEncoder& encoder,
                       const std::string& path);
  static bool typeText(const platform::SupportDevices& devices, const std::string& bundleIdentifier,
                       const std::u16string& text);
  static bool postText(platform::InputEvents& input, const std::u16string& text);
  static bool postKey(platform::InputEvents& input, std::uint16_t keyCode, std::uint64_t flags = 0);
  static bool click(platform::InputEvents& input, double x, double y, const std::string& button,
                    std::int64_t count);
  static bool scroll(platform::InputEvents& input, std::int32_t delta);

  static const std::vector<std::string>& allowedTypingApplications();
};

// Strict operand conversions: the whole text must be a number of the type and range; an optional
// sign, then digits (for decimals, an optional fraction and exponent); nothing around it.
std::optional<std::uint16_t> parseUInt16(std::string_view text);
std::optional<std::int32_t> parseInt32(std::string_view text);
std::optional<std::int64_t> parseInt64(std::string_view text);
std::optional<double> parseDouble(std::string_view text);

// UTF-8 argument text as UTF-16; ill-formed bytes become U+FFFD.
std::u16string utf16FromUTF8(std::string_view bytes);

}  // namespace tarnwick::support
