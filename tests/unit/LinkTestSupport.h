#pragma once

#include <optional>
#include <string>

#include "FakePlatform.h"

namespace tarnwick::links::testing {

inline constexpr const char* healthCheckURL = "http://127.0.0.1:8766/";

inline std::size_t requestsTo(const fakes::FakeHttpClient& http, const std::string& method,
                              const std::string& url) {
  std::size_t count = 0;
  for (std::size_t index = 0; index < http.count(); ++index) {
    auto request = http.request(index);
    if (request.method == method && request.url == url) {
      ++count;
    }
  }
  return count;
}

inline std::size_t healthChecks(const fakes::FakeHttpClient& http) {
  return requestsTo(http, "GET", healthCheckURL);
}

// The index of the latest request of this method, if any.
inline std::optional<std::size_t> lastRequest(const fakes::FakeHttpClient& http,
                                              const std::string& method) {
  for (std::size_t index = http.count(); index-- > 0;) {
    if (http.request(index).method == method) {
      return index;
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick::links::testing
