#include "update/ReleaseManifest.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "links/Url.h"
#include "service/ServiceContract.h"

namespace tarnwick::update {

namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Three runs of one or more decimal digits joined by single full stops, nothing else.
bool isThreeNumberVersion(std::string_view text) {
  int runs = 0;
  std::size_t runLength = 0;
  for (char c : text) {
    if (isDigit(c)) {
      ++runLength;
    } else if (c == '.' && runLength > 0 && runs < 2) {
      ++runs;
      runLength = 0;
    } else {
      return false;
    }
  }
  return runs == 2 && runLength > 0;
}

bool isLowercaseDigest(std::string_view text) {
  if (text.size() != 64) {
    return false;
  }
  for (char c : text) {
    if (!isDigit(c) && !(c >= 'a' && c <= 'f')) {
      return false;
    }
  }
  return true;
}

// A whole base-10 number with an optional sign, or 0 for anything else, including values outside
// 64 bits.
std::int64_t versionPiece(std::string_view piece) {
  std::string_view digits = piece;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    digits.remove_prefix(1);
  }
  if (digits.empty()) {
    return 0;
  }
  for (char c : digits) {
    if (!isDigit(c)) {
      return 0;
    }
  }
  // from_chars takes a minus sign but no plus sign.
  std::string_view parsed = piece.front() == '+' ? digits : piece;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(parsed.data(), parsed.data() + parsed.size(), value);
  if (error != std::errc() || end != parsed.data() + parsed.size()) {
    return 0;
  }
  return value;
}

std::vector<std::int64_t> versionPieces(std::string_view text) {
  std::vector<std::int64_t> pieces;
  while (!text.empty()) {
    auto dot = text.find('.');
    auto piece = text.substr(0, dot);
    if (!piece.empty()) {
      pieces.push_back(versionPiece(piece));
    }
    if (dot == std::string_view::npos) {
      break;
    }
    text.remove_prefix(dot + 1);
  }
  return pieces;
}

}  // namespace

std::optional<TarnwickRelease> decodeRelease(std::string_view json) {
  if (json.size() > maximumManifestSize) {
    return std::nullopt;
  }
  auto document = nlohmann::json::parse(json, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    return std::nullopt;
  }
  auto string = [&document](const char* key) -> std::optional<std::string> {
    auto member = document.find(key);
    if (member == document.end() || !member->is_string()) {
      return std::nullopt;
    }
    return member->get<std::string>();
  };

  TarnwickRelease release;
  auto version = string("version");
  if (!version) {
    return std::nullopt;
  }
  release.version = std::move(*version);

  // A JSON integer only: not a string, not a number with a fraction or exponent, and one that
  // fits a signed 64-bit integer (2^63 is read as an unsigned number and so fails).
  auto build = document.find("build");
  if (build == document.end() || !build->is_number_integer()) {
    return std::nullopt;
  }
  if (build->is_number_unsigned()) {
    auto value = build->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    release.build = static_cast<std::int64_t>(value);
  } else {
    release.build = build->get<std::int64_t>();
  }

  auto downloadURL = string("download_url");
  if (!downloadURL) {
    return std::nullopt;
  }
  release.downloadURL = std::move(*downloadURL);
  auto sha256 = string("sha256");
  if (!sha256) {
    return std::nullopt;
  }
  release.sha256 = std::move(*sha256);

  auto notes = document.find("release_notes");
  if (notes != document.end() && !notes->is_null()) {
    if (!notes->is_string()) {
      return std::nullopt;
    }
    release.releaseNotes = notes->get<std::string>();
  }
  return release;
}

std::optional<std::string> trustedDownloadURL(const TarnwickRelease& release) {
  if (!isThreeNumberVersion(release.version) || !isLowercaseDigest(release.sha256)) {
    return std::nullopt;
  }
  auto url = links::Url::parse(release.downloadURL);
  if (!url || !url->scheme() || links::asciiLowercase(*url->scheme()) != "https") {
    return std::nullopt;
  }
  if (!url->host() || links::asciiLowercase(*url->host()) != service::host) {
    return std::nullopt;
  }
  if (url->user() || url->password() || url->query() || url->fragment()) {
    return std::nullopt;
  }
  if (url->path() != service::downloadPath) {
    return std::nullopt;
  }
  return url->text();
}

bool isNewerVersion(std::string_view candidate, std::string_view current) {
  auto candidatePieces = versionPieces(candidate);
  auto currentPieces = versionPieces(current);
  auto count = std::max(candidatePieces.size(), currentPieces.size());
  for (std::size_t index = 0; index < count; ++index) {
    std::int64_t mine = index < candidatePieces.size() ? candidatePieces[index] : 0;
    std::int64_t theirs = index < currentPieces.size() ? currentPieces[index] : 0;
    if (mine != theirs) {
      return mine > theirs;
    }
  }
  return false;
}

}  // namespace tarnwick::update
