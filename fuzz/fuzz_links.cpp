// Link text from outside: every classifier must stay quiet on any input, and what they accept must
// hold up when read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "links/Invitation.h"
#include "links/LocalPairing.h"
#include "links/PlaidCompletion.h"
#include "links/SchemeFamily.h"
#include "links/Url.h"

namespace {

using tarnwick::links::Url;

using tarnwick::fuzz::require;

// A pairing page must read back as exactly the four values it was built from.
void checkPairingPage(const Url& page, const std::vector<std::string>* values) {
  auto reread = Url::parse(page.text());
  require(reread.has_value());
  require(reread->scheme() == "http" && reread->host() == "127.0.0.1");
  require(reread->path() == "/support" && !reread->fragment());
  const auto& items = reread->queryItems();
  require(items.size() == 4);
  const char* names[] = {"server", "code", "completion_url", "completion_token"};
  for (std::size_t index = 0; index < 4; ++index) {
    require(items[index].name == names[index] && items[index].value.has_value());
    if (values != nullptr) {
      require(*items[index].value == (*values)[index]);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto url = Url::parse(text)) {
    bool inFamily = tarnwick::links::isTarnwickScheme(*url);
    if (tarnwick::links::plaidCompletionURL(*url)) {
      require(inFamily);
    }
    if (auto redemption = tarnwick::links::invitationURL(*url)) {
      require(inFamily && tarnwick::links::isRedemptionURL(*redemption));
    }
    if (auto page = tarnwick::links::localPairingURL(*url)) {
      require(inFamily);
      checkPairingPage(*page, nullptr);
    }
  }

  // The same bytes as the builder's four parameters, split at line feeds.
  std::vector<std::string> parts(4);
  std::size_t part = 0;
  for (char c : text) {
    if (c == '\n' && part < 3) {
      ++part;
    } else {
      parts[part].push_back(c);
    }
  }
  if (auto page = tarnwick::links::makeLocalPairingURL(parts[0], parts[1], parts[2], parts[3])) {
    parts[1] = tarnwick::links::asciiUppercase(parts[1]);
    checkPairingPage(*page, &parts);
  }
  return 0;
}
