// The support-control command line: any arguments whoever starts the executable passes (split at
// NUL bytes, the executable's path first). Devices are opened only for a command that is
// recognised with acceptable operands; typed text reaches the input whole, in chunks of at most
// 20 code units that never split a surrogate pair; numbers read as the C library reads them.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "support/TarnwickSupportControl.h"

using tarnwick::fuzz::require;
using tarnwick::support::TarnwickSupportControl;
namespace platform = tarnwick::platform;

namespace {

// Devices that record what they were asked; the screen never captures, so no file is written.
struct Devices final : platform::SupportDeviceProvider,
                       platform::PrivacyAccess,
                       platform::Screen,
                       platform::ImageEncoder,
                       platform::InputEvents,
                       platform::RunningApplications,
                       platform::Sleeper {
  int opened = 0;
  std::u16string typed;
  std::vector<std::size_t> chunkSizes;
  std::vector<std::u16string> chunks;
  std::vector<std::int64_t> clickStates;
  std::vector<platform::MouseButton> buttons;

  platform::SupportDevices devices() override {
    ++opened;
    return {*this, *this, *this, *this, *this, *this};
  }
  bool isTrustedForAccessibility(bool) override { return true; }
  bool screenCaptureAllowed() override { return true; }
  bool requestScreenCapture() override { return true; }
  std::optional<platform::Image> captureAllDisplays() override { return std::nullopt; }
  std::optional<std::vector<std::uint8_t>> encodeJPEG(const platform::Image&, double) override {
    return std::nullopt;
  }
  bool postKey(std::uint16_t, std::uint64_t) override { return true; }
  bool postText(const std::u16string& chunk) override {
    chunks.push_back(chunk);
    typed += chunk;
    return true;
  }
  bool postClick(double, double, platform::MouseButton button, std::int64_t state) override {
    clickStates.push_back(state);
    buttons.push_back(button);
    return true;
  }
  bool postScroll(std::int32_t) override { return true; }
  bool activateFirst(const std::string&) override { return true; }
  void sleepFor(platform::Seconds) override {}
};

bool isHigh(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLow(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// UTF-16 back to UTF-8, for text without lone surrogates.
std::string utf8Of(const std::u16string& units) {
  std::string bytes;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t point = units[i];
    if (isHigh(units[i])) {
      point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    if (point < 0x80) {
      bytes += static_cast<char>(point);
    } else if (point < 0x800) {
      bytes += static_cast<char>(0xC0 | (point >> 6));
      bytes += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      bytes += static_cast<char>(0xE0 | (point >> 12));
      bytes += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (point >> 18));
      bytes += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return bytes;
}

// Well-formed UTF-16: every high surrogate followed by a low one, no low one alone.
bool wellFormed(const std::u16string& units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (isLow(units[i])) {
      return false;
    }
    if (isHigh(units[i]) && (++i == units.size() || !isLow(units[i]))) {
      return false;
    }
  }
  return true;
}

void checkConversion(std::string_view bytes) {
  auto units = tarnwick::support::utf16FromUTF8(bytes);
  require(wellFormed(units));
  // Each replacement stands for one ill-formed byte, so the text never grows past the bytes.
  require(units.size() <= bytes.size());
  if (units.find(u'\uFFFD') == std::u16string::npos) {
    require(utf8Of(units) == bytes);
  }
}

bool plainInteger(std::string_view text) {
  std::size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  return text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
}

void checkNumbers(const std::string& text) {
  // The C library's reading of the same text, where the strict grammar allows it.
  errno = 0;
  char* end = nullptr;
  long long expected = std::strtoll(text.c_str(), &end, 10);
  bool fits = plainInteger(text) && errno == 0 && end == text.c_str() + text.size();
  auto wide = tarnwick::support::parseInt64(text);
  require(wide.has_value() == fits);
  if (wide) {
    require(*wide == expected);
  }
  auto narrow = tarnwick::support::parseInt32(text);
  require(narrow.has_value() == (wide && *wide >= INT32_MIN && *wide <= INT32_MAX));
  require(!narrow || *narrow == *wide);
  auto key = tarnwick::support::parseUInt16(text);
  require(key.has_value() == (wide && *wide >= 0 && *wide <= UINT16_MAX));
  require(!key || *key == *wide);

  if (auto value = tarnwick::support::parseDouble(text)) {
    require(std::isfinite(*value));
    require(text.find_first_of("xXnNiIpP") == std::string::npos);
    errno = 0;
    double read = std::strtod(text.c_str(), &end);
    require(end == text.c_str() + text.size() && read == *value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> arguments{"/opt/Tarnwick.app/Contents/MacOS/Tarnwick"};
  for (std::size_t start = 0; start <= bytes.size();) {
    auto end = bytes.find('\0', start);
    if (end == std::string_view::npos) {
      end = bytes.size();
    }
    arguments.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  for (std::size_t i = 1; i < arguments.size() && i < 8; ++i) {
    checkConversion(arguments[i]);
    checkNumbers(arguments[i]);
  }

  Devices devices;
  auto result = TarnwickSupportControl::runIfRequested(arguments, devices);
  bool requested = std::string_view(arguments[1]).starts_with(TarnwickSupportControl::prefix);
  require(result.has_value() == requested);
  if (!result) {
    require(devices.opened == 0);
    return 0;
  }
  require(
      *result == TarnwickSupportControl::done || *result == TarnwickSupportControl::notRecognised ||
      *result == TarnwickSupportControl::notGranted || *result == TarnwickSupportControl::failed);
  require(devices.opened <= 1);
  if (*result == TarnwickSupportControl::notRecognised) {
    require(devices.opened == 0);
  }

  const std::string command(
      std::string_view(arguments[1]).substr(TarnwickSupportControl::prefix.size()));
  if (command == "type" && *result == TarnwickSupportControl::done) {
    require(devices.typed == tarnwick::support::utf16FromUTF8(arguments[2]));
  }
  if (command == "type-text" && *result == TarnwickSupportControl::done) {
    require(devices.typed == tarnwick::support::utf16FromUTF8(arguments[3]));
  }
  for (std::size_t i = 0; i < devices.chunks.size(); ++i) {
    const auto& chunk = devices.chunks[i];
    require(!chunk.empty() && chunk.size() <= TarnwickSupportControl::textChunkSize);
    // The text is well formed, so a chunk ending in a high surrogate has cut a pair.
    require(!isHigh(chunk.back()) || i + 1 == devices.chunks.size());
  }
  for (std::size_t i = 0; i < devices.clickStates.size(); ++i) {
    require(devices.clickStates[i] == 1 || devices.clickStates[i] == 2);
    require((devices.buttons[i] == platform::MouseButton::right) == (arguments[4] == "right"));
  }
  return 0;
}
