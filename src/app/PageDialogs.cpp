#include "app/PageDialogs.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <boost/url/parse.hpp>
#include <cstring>

namespace tarnwick::app {

namespace {

constexpr std::string_view dialogTitle = "Tarnwick";
constexpr std::string_view fullAccessPhrase = "full access";

// Turkish and Azeri fold the dotted and dotless i their own way; everywhere else the default
// folding applies.
uint32_t foldingOptions() {
  const char* language = icu::Locale::getDefault().getLanguage();
  return std::strcmp(language, "tr") == 0 || std::strcmp(language, "az") == 0
             ? U_FOLD_CASE_EXCLUDE_SPECIAL_I
             : U_FOLD_CASE_DEFAULT;
}

icu::UnicodeString folded(std::string_view text, uint32_t options) {
  // Malformed UTF-8 becomes U+FFFD, which matches nothing in the phrase.
  auto unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  return unicode.foldCase(options);
}

}  // namespace

bool isFullAccessRequest(std::string_view message) {
  auto options = foldingOptions();
  return folded(message, options).indexOf(folded(fullAccessPhrase, options)) >= 0;
}

platform::Alert alertSheet(const std::string& message) {
  return {.messageText = std::string(dialogTitle),
          .informativeText = message,
          .style = platform::AlertStyle::informational,
          .buttons = {"OK"}};
}

platform::Alert confirmSheet(const std::string& message) {
  bool fullAccess = isFullAccessRequest(message);
  return {.messageText = std::string(dialogTitle),
          .informativeText = message,
          .style = fullAccess ? platform::AlertStyle::warning : platform::AlertStyle::informational,
          .buttons = {fullAccess ? "Enable Full Access" : "Continue", "Cancel"}};
}

bool opensInBrowser(std::string_view url) {
  auto parsed = boost::urls::parse_uri(url);
  if (!parsed) {
    return false;
  }
  auto scheme = parsed->scheme();
  return scheme == "https" || scheme == "http";
}

}  // namespace tarnwick::app
