#include "bridge/InterfaceCheck.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>
#include <nlohmann/json.hpp>

namespace tarnwick::bridge {

namespace {

constexpr std::string_view channelSource = "channel";

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The shape of an internet date-time, checked by hand so that ICU's parser, which forgives more,
// only ever sees "YYYY-MM-DDTHH:MM:SS" followed by "Z" or "+HH:MM" / "-HH:MM".
bool hasInternetDateTimeShape(std::string_view text) {
  constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd";
  if (text.size() != shape.size() + 1 && text.size() != shape.size() + 6) {
    return false;
  }
  for (std::size_t index = 0; index < shape.size(); ++index) {
    if (shape[index] == 'd' ? !isDigit(text[index]) : text[index] != shape[index]) {
      return false;
    }
  }
  auto zone = text.substr(shape.size());
  if (zone.size() == 1) {
    return zone == "Z";
  }
  return (zone[0] == '+' || zone[0] == '-') && isDigit(zone[1]) && isDigit(zone[2]) &&
         zone[3] == ':' && isDigit(zone[4]) && isDigit(zone[5]);
}

std::optional<UDate> parseInternetDateTime(std::string_view text) {
  if (!hasInternetDateTimeShape(text)) {
    return std::nullopt;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(icu::UnicodeString("yyyy-MM-dd'T'HH:mm:ssXXX", -1, US_INV),
                               icu::Locale::getRoot(), status);
  if (U_FAILURE(status)) {
    return std::nullopt;
  }
  // Out-of-range fields (month 13, 24:00, second 60) do not roll over into a valid date.
  format.setLenient(false);
  format.adoptTimeZone(icu::TimeZone::createTimeZone(icu::UnicodeString("UTC", -1, US_INV)));
  auto unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::ParsePosition position(0);
  UDate date = format.parse(unicode, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != unicode.length()) {
    return std::nullopt;
  }
  return date;
}

std::string trimmedError(std::string_view text) {
  auto first = text.find_first_not_of(". ");
  if (first == std::string_view::npos) {
    return "";
  }
  auto last = text.find_last_not_of(". ");
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::optional<InterfaceCheck> decodeInterfaceCheck(std::string_view json) {
  if (json.size() > maximumInterfaceCheckSize) {
    return std::nullopt;
  }
  auto document = nlohmann::json::parse(json, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    return std::nullopt;
  }
  InterfaceCheck check;
  for (auto [key, field] :
       {std::pair{"client_version", &check.clientVersion},
        std::pair{"client_source", &check.clientSource},
        std::pair{"client_installed_at", &check.clientInstalledAt},
        std::pair{"last_result", &check.lastResult}, std::pair{"last_error", &check.lastError}}) {
    auto member = document.find(key);
    if (member == document.end() || member->is_null()) {
      continue;
    }
    if (!member->is_string()) {
      return std::nullopt;
    }
    *field = member->get<std::string>();
  }
  return check;
}

std::string arrivedOn(const std::optional<std::string>& timestamp) {
  if (!timestamp || timestamp->empty()) {
    return "";
  }
  auto date = parseInternetDateTime(*timestamp);
  if (!date) {
    return "";
  }
  std::unique_ptr<icu::DateFormat> format(
      icu::DateFormat::createDateInstance(icu::DateFormat::kMedium, icu::Locale::getDefault()));
  if (!format) {
    return "";
  }
  // Read afresh, so that the zone the user is in now is the one that counts.
  format->adoptTimeZone(icu::TimeZone::detectHostTimeZone());
  icu::UnicodeString text;
  format->format(*date, text);
  std::string result;
  text.toUTF8String(result);
  return result;
}

InterfaceMessage interfaceNotReadyMessage(std::string_view note) {
  return {"Tarnwick", std::string(note) +
                          " The interface could not be checked because it has not finished "
                          "loading; try again in a moment."};
}

InterfaceOutcome interfaceOutcome(std::optional<int> status,
                                  const std::optional<InterfaceCheck>& check,
                                  const LoadedInterface& page, std::string_view note) {
  if (status != 200 || !check) {
    // A page without a version element still deserves a sentence that ends in something.
    std::string loaded =
        page.version.empty() ? "the interface loaded in this window" : "interface " + page.version;
    return InterfaceMessage{
        "Tarnwick", std::string(note) +
                        " The interface update service could not be reached just now, so you are "
                        "still on " +
                        loaded + "."};
  }
  std::string channelVersion =
      check->clientSource == channelSource ? check->clientVersion.value_or("") : "";
  std::string result = check->lastResult.value_or("");
  bool newer = !channelVersion.empty() && channelVersion != page.version;

  if (result.starts_with("installed") || newer) {
    return InterfaceReloadOffer{channelVersion};
  }
  std::string detail;
  if (result.starts_with("up to date") && !channelVersion.empty()) {
    auto date = arrivedOn(check->clientInstalledAt);
    detail = "You are on the newest interface, " + channelVersion +
             (date.empty() ? "." : ", which arrived " + date + ".");
  } else if (result.starts_with("skipped")) {
    detail = "Interface updates are switched off on this Mac, so it keeps the interface it has.";
  } else {
    auto error = trimmedError(check->lastError.value_or(""));
    detail = "The newest interface could not be fetched";
    if (!error.empty()) {
      detail += ": " + error;
    }
    detail += ". You are still on " +
              (channelVersion.empty() ? "the interface packaged with the app" : channelVersion) +
              ".";
  }
  return InterfaceMessage{"Tarnwick Is Up to Date", detail + " " + std::string(note)};
}

std::string reloadOfferText(std::string_view version, std::string_view note) {
  // An "installed" answer may name no version; the sentence then names none either.
  std::string arrived = version.empty() ? "A newer interface has arrived."
                                        : "Interface " + std::string(version) + " has arrived.";
  return arrived + " Reload now to start using it. " + std::string(note);
}

}  // namespace tarnwick::bridge
