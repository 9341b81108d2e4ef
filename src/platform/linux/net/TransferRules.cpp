#include "platform/linux/net/TransferRules.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace tarnwick::platform::linux_desktop::transfer_rules {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

bool isToken(std::string_view text) {
  static constexpr std::string_view extra = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::ranges::all_of(text, [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || extra.find(c) != std::string_view::npos;
  });
}

bool isSafeHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool hasHeader(const HeaderList& headers, std::string_view name) {
  return std::ranges::any_of(
      headers, [&](const auto& header) { return equalsIgnoringCase(header.first, name); });
}

std::string_view trimmed(std::string_view text) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isSpace(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isSpace(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::string sentenceFor(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
      return "Could not connect to the server.";
    case CURLE_OPERATION_TIMEDOUT:
      return "The request timed out.";
    case CURLE_COULDNT_RESOLVE_HOST:
      return "A server with the specified hostname could not be found.";
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_PROXY:
      return "The proxy server could not be reached.";
    case CURLE_UNSUPPORTED_PROTOCOL:
      return "The URL is not supported.";
    case CURLE_URL_MALFORMAT:
      return "The URL is not valid.";
    case CURLE_TOO_MANY_REDIRECTS:
      return "There were too many redirects.";
    case CURLE_PEER_FAILED_VERIFICATION:
      return "The certificate for this server is invalid.";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return "A TLS error caused the secure connection to fail.";
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return "The network connection was lost.";
    case CURLE_WEIRD_SERVER_REPLY:
      return "The server sent a response that could not be understood.";
    case CURLE_OUT_OF_MEMORY:
      return "There was not enough memory to complete the request.";
    default:
      return "The request could not be completed.";
  }
}

HttpResponse failure(std::string sentence) {
  HttpResponse response;
  response.transportError = std::move(sentence);
  return response;
}

std::string noProxyList() {
  const char* fromEnvironment = std::getenv("no_proxy");
  if (!fromEnvironment || !*fromEnvironment) {
    fromEnvironment = std::getenv("NO_PROXY");
  }
  std::string list = fromEnvironment ? fromEnvironment : "";
  if (list == "*") {
    return list;
  }
  return list + (list.empty() ? "" : ",") + "127.0.0.1,localhost,::1";
}

}  // namespace tarnwick::platform::linux_desktop::transfer_rules
