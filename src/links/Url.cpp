#include "links/Url.h"

#include <boost/url/encoding_opts.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <exception>

namespace tarnwick::links {

std::optional<Url> Url::parse(std::string_view text) {
  try {
    auto parsed = boost::urls::parse_uri_reference(text);
    if (!parsed) {
      return std::nullopt;
    }
    const boost::urls::url_view& view = *parsed;

    Url url;
    url.text_ = std::string(text);
    if (view.has_scheme()) {
      url.scheme_ = std::string(view.scheme());
    }
    if (view.has_authority() && !view.encoded_host().empty()) {
      url.host_ = std::string(view.encoded_host());
    }
    if (view.has_userinfo()) {
      url.user_ = std::string(view.user());
      if (view.has_password()) {
        url.password_ = std::string(view.password());
      }
    }
    url.path_ = std::string(view.encoded_path());
    if (view.has_query()) {
      url.query_ = std::string(view.encoded_query());
      // An empty query names nothing, and its items are not read at all: Boost.URL 1.81 overruns
      // when it iterates an empty query followed by a fragment ("x://h?#f").
      if (!url.query_->empty()) {
        // Off: a "+" in a query is a plus sign here, not a space.
        boost::urls::encoding_opts options(false, false, false);
        for (const auto& item : view.params(options)) {
          QueryItem entry{std::string(item.key), std::nullopt};
          if (item.has_value) {
            entry.value = std::string(item.value);
          }
          url.queryItems_.push_back(std::move(entry));
        }
      }
    }
    if (view.has_fragment()) {
      url.fragment_ = std::string(view.encoded_fragment());
    }
    return url;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string asciiLowercase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return result;
}

std::string asciiUppercase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return result;
}

}  // namespace tarnwick::links
