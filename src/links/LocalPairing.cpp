#include "links/LocalPairing.h"

#include <algorithm>
#include <map>
#include <string>

#include "connector/ConnectorContract.h"
#include "links/SchemeFamily.h"
#include "service/ServiceContract.h"

namespace tarnwick::links {

namespace {

// A "?" is legal inside a query, but some servers read a second one as malformed; escaping it
// keeps every value intact whoever reads it back.
bool isUnescaped(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == ':' || c == '@' || c == '/';
}

// Exactly eight of A-Z and 2-9.
bool isPairingCode(std::string_view code) {
  return code.size() == 8 && std::ranges::all_of(code, [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= '2' && c <= '9');
         });
}

std::string textOf(const std::map<std::string, std::string>& items, const std::string& name) {
  auto found = items.find(name);
  return found == items.end() ? std::string() : found->second;
}

}  // namespace

std::string encodeQueryComponent(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (char c : text) {
    if (isUnescaped(c)) {
      encoded.push_back(c);
    } else {
      auto byte = static_cast<unsigned char>(c);
      encoded.push_back('%');
      encoded.push_back(hex[byte >> 4]);
      encoded.push_back(hex[byte & 0x0F]);
    }
  }
  return encoded;
}

std::optional<Url> localPairingURL(const Url& link) {
  if (!isTarnwickScheme(link)) {
    return std::nullopt;
  }
  if (!link.host() || asciiLowercase(*link.host()) != localPairingHost) {
    return std::nullopt;
  }
  std::map<std::string, std::string> items;
  for (const auto& item : link.queryItems()) {
    items.try_emplace(item.name, item.value.value_or(""));
  }
  return makeLocalPairingURL(textOf(items, "server"), textOf(items, "code"),
                             textOf(items, "completion_url"), textOf(items, "completion_token"));
}

std::optional<Url> makeLocalPairingURL(std::string_view server, std::string_view code,
                                       std::string_view completionURL,
                                       std::string_view completionToken) {
  std::string upperCode = asciiUppercase(code);

  auto serverURL = Url::parse(server);
  if (!serverURL || asciiLowercase(serverURL->scheme().value_or("")) != "https" ||
      !serverURL->host()) {
    return std::nullopt;
  }
  auto completion = Url::parse(completionURL);
  if (!completion || asciiLowercase(completion->scheme().value_or("")) != "https" ||
      asciiLowercase(completion->host().value_or("")) != service::host) {
    return std::nullopt;
  }
  if (!isPairingCode(upperCode)) {
    return std::nullopt;
  }

  std::string page = "http://" + std::string(connector::host) + ":" +
                     std::to_string(connector::port) + std::string(connector::pairingPagePath);
  page += "?server=" + encodeQueryComponent(server);
  page += "&code=" + encodeQueryComponent(upperCode);
  page += "&completion_url=" + encodeQueryComponent(completion->text());
  page += "&completion_token=" + encodeQueryComponent(completionToken);
  return Url::parse(page);
}

}  // namespace tarnwick::links
