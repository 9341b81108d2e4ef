#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::links {

// One item of a URL's query. `value` is absent for an item written without "=" ("a&b=1" gives
// "a" without a value), and present but empty for "a=".
struct QueryItem {
  std::string name;
  std::optional<std::string> value;
  bool operator==(const QueryItem&) const = default;
};

// A parsed URL or relative reference, as plain values. Absent and empty components are kept apart:
// "x://h?" has an empty query, "x://h" none; the same holds for user, password and fragment.
class Url {
 public:
  // Nothing when the text is not a URL reference (RFC 3986).
  static std::optional<Url> parse(std::string_view text);

  // The text the URL was parsed from, unchanged.
  const std::string& text() const { return text_; }

  // As written; absent for a relative reference.
  const std::optional<std::string>& scheme() const { return scheme_; }
  // As written, percent-escapes left in place so that an escaped spelling never passes for a host
  // name. Absent when there is no authority or its host is empty.
  const std::optional<std::string>& host() const { return host_; }
  // Decoded.
  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& password() const { return password_; }
  // As written, percent-escapes left in place.
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }
  // Names and values decoded; a "+" stays a "+". Empty when there is no query.
  const std::vector<QueryItem>& queryItems() const { return queryItems_; }

 private:
  Url() = default;

  std::string text_;
  std::optional<std::string> scheme_;
  std::optional<std::string> host_;
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
  std::vector<QueryItem> queryItems_;
};

// ASCII lower and upper case; other bytes are left alone.
std::string asciiLowercase(std::string_view text);
std::string asciiUppercase(std::string_view text);

}  // namespace tarnwick::links
