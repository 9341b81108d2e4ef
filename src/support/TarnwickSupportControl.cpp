#include "support/TarnwickSupportControl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>

namespace tarnwick::support {

namespace {

using platform::Seconds;

enum class Command {
  accessibilityStatus,
  accessibilityRequest,
  screenStatus,
  screenRequest,
  snapshot,
  typeText,
  type,
  key,
  click,
  scroll,
};

struct CommandName {
  std::string_view name;
  Command command;
};

// In the order the names are tried.
constexpr std::array<CommandName, 10> commandTable{{
    {"accessibility-status", Command::accessibilityStatus},
    {"accessibility-request", Command::accessibilityRequest},
    {"screen-status", Command::screenStatus},
    {"screen-request", Command::screenRequest},
    {"snapshot", Command::snapshot},
    {"type-text", Command::typeText},
    {"type", Command::type},
    {"key", Command::key},
    {"click", Command::click},
    {"scroll", Command::scroll},
}};

std::optional<Command> commandNamed(std::string_view argument) {
  for (const auto& entry : commandTable) {
    if (argument.size() == TarnwickSupportControl::prefix.size() + entry.name.size() &&
        argument.starts_with(TarnwickSupportControl::prefix) && argument.ends_with(entry.name)) {
      return entry.command;
    }
  }
  return std::nullopt;
}

std::int32_t actionResult(bool worked) {
  return worked ? TarnwickSupportControl::done : TarnwickSupportControl::failed;
}

std::int32_t permissionResult(bool granted) {
  return granted ? TarnwickSupportControl::done : TarnwickSupportControl::notGranted;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// An optional sign and at least one digit, nothing else; the magnitude must fit 64 bits.
struct SignedMagnitude {
  bool negative = false;
  std::uint64_t magnitude = 0;
};

std::optional<SignedMagnitude> parseSignedDigits(std::string_view text) {
  SignedMagnitude result;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    result.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::all_of(text.begin(), text.end(), isDigit)) {
    return std::nullopt;
  }
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result.magnitude);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;  // too large for any of our types
  }
  return result;
}

template <typename Integer>
std::optional<Integer> parseInteger(std::string_view text) {
  auto parsed = parseSignedDigits(text);
  if (!parsed) {
    return std::nullopt;
  }
  using Limits = std::numeric_limits<Integer>;
  if (parsed->negative) {
    // The most negative value has a magnitude one past the largest positive one.
    auto largest = static_cast<std::uint64_t>(Limits::max()) + (Limits::is_signed ? 1U : 0U);
    if (parsed->magnitude == 0) {
      return Integer{0};
    }
    if (!Limits::is_signed || parsed->magnitude > largest) {
      return std::nullopt;
    }
    // Negate in unsigned arithmetic, which wraps by definition, then convert back.
    auto wrapped = ~parsed->magnitude + 1U;
    return static_cast<Integer>(static_cast<std::int64_t>(wrapped));
  }
  if (parsed->magnitude > static_cast<std::uint64_t>(Limits::max())) {
    return std::nullopt;
  }
  return static_cast<Integer>(parsed->magnitude);
}

// A decimal number: digits with an optional point and fraction (or a point and a fraction), then
// an optional exponent. No hexadecimal, no "inf" or "nan".
bool isDecimalNumber(std::string_view text) {
  std::size_t index = 0;
  auto digits = [&] {
    std::size_t start = index;
    while (index < text.size() && isDigit(text[index])) {
      ++index;
    }
    return index - start;
  };
  std::size_t mantissaDigits = digits();
  if (index < text.size() && text[index] == '.') {
    ++index;
    mantissaDigits += digits();
  }
  if (mantissaDigits == 0) {
    return false;
  }
  if (index < text.size() && (text[index] == 'e' || text[index] == 'E')) {
    ++index;
    if (index < text.size() && (text[index] == '+' || text[index] == '-')) {
      ++index;
    }
    if (digits() == 0) {
      return false;
    }
  }
  return index == text.size();
}

// Writes beside the target, then renames over it, so that nobody ever sees half an image. The
// folder must exist.
bool writeAtomically(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::filesystem::path target(path);
  if (path.empty() || !target.has_filename()) {
    return false;
  }
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) {
    folder = ".";
  }
  std::string temporary = (folder / ".tarnwick-snapshot-XXXXXX").string();
  int descriptor = ::mkstemp(temporary.data());
  if (descriptor < 0) {
    return false;
  }
  // mkstemp makes the file private to us; give it the mode of any new file instead.
  mode_t mask = ::umask(0);
  ::umask(mask);
  bool written = ::fchmod(descriptor, 0666 & ~mask) == 0;
  std::size_t offset = 0;
  while (written && offset < data.size()) {
    ssize_t count = ::write(descriptor, data.data() + offset, data.size() - offset);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      written = false;
      break;
    }
    offset += static_cast<std::size_t>(count);
  }
  written = ::close(descriptor) == 0 && written;
  if (written && ::rename(temporary.c_str(), path.c_str()) == 0) {
    return true;
  }
  ::unlink(temporary.c_str());
  return false;
}

bool isHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::optional<std::uint16_t> parseUInt16(std::string_view text) {
  return parseInteger<std::uint16_t>(text);
}

std::optional<std::int32_t> parseInt32(std::string_view text) {
  return parseInteger<std::int32_t>(text);
}

std::optional<std::int64_t> parseInt64(std::string_view text) {
  return parseInteger<std::int64_t>(text);
}

std::optional<double> parseDouble(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (!isDecimalNumber(text)) {
    return std::nullopt;
  }
  double value = 0;
  auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  // Too large for a double is out of range, as is a nonzero value too small for one.
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::u16string utf16FromUTF8(std::string_view bytes) {
  std::u16string units;
  std::size_t index = 0;
  auto byteAt = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  while (index < bytes.size()) {
    unsigned char lead = byteAt(index);
    std::size_t length = 0;
    char32_t point = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
      length = 1;
      point = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      point = lead & 0x1Fu;
      smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      point = lead & 0x0Fu;
      smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      point = lead & 0x07u;
      smallest = 0x10000;
    }
    bool valid = length > 0 && index + length <= bytes.size();
    for (std::size_t next = 1; valid && next < length; ++next) {
      unsigned char continuation = byteAt(index + next);
      valid = (continuation & 0xC0u) == 0x80u;
      point = (point << 6) | (continuation & 0x3Fu);
    }
    valid = valid && point >= smallest && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    if (!valid) {
      units.push_back(u'\uFFFD');
      ++index;
      continue;
    }
    if (point >= 0x10000) {
      char32_t offset = point - 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(point));
    }
    index += length;
  }
  return units;
}

const std::vector<std::string>& TarnwickSupportControl::allowedTypingApplications() {
  static const std::vector<std::string> allowed{"com.apple.TextEdit", "com.apple.Notes"};
  return allowed;
}

std::optional<std::int32_t> TarnwickSupportControl::runIfRequested(
    const std::vector<std::string>& arguments, platform::SupportDeviceProvider& provider) {
  if (arguments.size() < 2 || !std::string_view(arguments[1]).starts_with(prefix)) {
    return std::nullopt;
  }
  auto command = commandNamed(arguments[1]);
  if (!command) {
    return notRecognised;
  }
  auto count = arguments.size();
  switch (*command) {
    case Command::accessibilityStatus:
      return permissionResult(provider.devices().privacy.isTrustedForAccessibility(false));
    case Command::accessibilityRequest:
      return permissionResult(provider.devices().privacy.isTrustedForAccessibility(true));
    case Command::screenStatus:
      return permissionResult(provider.devices().privacy.screenCaptureAllowed());
    case Command::screenRequest:
      return permissionResult(provider.devices().privacy.requestScreenCapture());
    case Command::snapshot: {
      if (count != 3) {
        return notRecognised;
      }
      auto devices = provider.devices();
      return actionResult(snapshot(devices.screen, devices.encoder, arguments[2]));
    }
    case Command::typeText:
      if (count != 4) {
        return notRecognised;
      }
      return actionResult(typeText(provider.devices(), arguments[2], utf16FromUTF8(arguments[3])));
    case Command::type:
      if (count != 3) {
        return notRecognised;
      }
      return actionResult(postText(provider.devices().input, utf16FromUTF8(arguments[2])));
    case Command::key: {
      if (count != 3) {
        return notRecognised;
      }
      auto keyCode = parseUInt16(arguments[2]);
      if (!keyCode) {
        return notRecognised;
      }
      return actionResult(postKey(provider.devices().input, *keyCode));
    }
    case Command::click: {
      if (count != 6) {
        return notRecognised;
      }
      auto x = parseDouble(arguments[2]);
      auto y = parseDouble(arguments[3]);
      auto clicks = parseInt64(arguments[5]);
      if (!x || !y || !clicks) {
        return notRecognised;
      }
      return actionResult(click(provider.devices().input, *x, *y, arguments[4], *clicks));
    }
    case Command::scroll: {
      if (count != 3) {
        return notRecognised;
      }
      auto delta = parseInt32(arguments[2]);
      if (!delta) {
        return notRecognised;
      }
      return actionResult(scroll(provider.devices().input, *delta));
    }
  }
  return notRecognised;
}

bool TarnwickSupportControl::snapshot(platform::Screen& screen, platform::ImageEncoder& encoder,
                                      const std::string& path) {
  auto image = screen.captureAllDisplays();
  if (!image) {
    return false;
  }
  // JPEG whatever the file name says.
  auto data = encoder.encodeJPEG(*image, snapshotQuality);
  if (!data || data->empty()) {
    return false;
  }
  return writeAtomically(path, *data);
}

bool TarnwickSupportControl::typeText(const platform::SupportDevices& devices,
                                      const std::string& bundleIdentifier,
                                      const std::u16string& text) {
  const auto& allowed = allowedTypingApplications();
  if (std::find(allowed.begin(), allowed.end(), bundleIdentifier) == allowed.end()) {
    return false;
  }
  devices.sleeper.sleepFor(Seconds(pauseBeforeActivating));
  // When it does not run, nothing is launched: the shortcut and the text go to whatever is in
  // front.
  devices.applications.activateFirst(bundleIdentifier);
  devices.sleeper.sleepFor(Seconds(pauseAfterActivating));
  if (!postKey(devices.input, newDocumentKeyCode, platform::keyFlags::command)) {
    return false;
  }
  devices.sleeper.sleepFor(Seconds(pauseAfterShortcut));
  return postText(devices.input, text);
}

bool TarnwickSupportControl::postText(platform::InputEvents& input, const std::u16string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(start + textChunkSize, text.size());
    // A character of two code units stays whole: the chunk ends one unit early rather than cut
    // the pair, which would leave each half meaningless on its own.
    if (end < text.size() && end - start > 1 && isHighSurrogate(text[end - 1]) &&
        isLowSurrogate(text[end])) {
      --end;
    }
    if (!input.postText(text.substr(start, end - start))) {
      return false;  // what was posted stays posted
    }
    start = end;
  }
  return true;
}

bool TarnwickSupportControl::postKey(platform::InputEvents& input, std::uint16_t keyCode,
                                     std::uint64_t flags) {
  return input.postKey(keyCode, flags);
}

bool TarnwickSupportControl::click(platform::InputEvents& input, double x, double y,
                                   const std::string& button, std::int64_t count) {
  auto which = button == "right" ? platform::MouseButton::right : platform::MouseButton::left;
  // One press and release whatever the count; two or more marks it as a double click's second.
  return input.postClick(x, y, which, std::clamp<std::int64_t>(count, 1, 2));
}

bool TarnwickSupportControl::scroll(platform::InputEvents& input, std::int32_t delta) {
  return input.postScroll(delta);
}

}  // namespace tarnwick::support
