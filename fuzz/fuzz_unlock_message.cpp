// The page's unlock message body: any text. An accepted body gives an identifier that passes the
// identifier check, and the reply script for it carries it back intact.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "bridge/UnlockRequest.h"

using tarnwick::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  using namespace tarnwick::bridge;

  // The body taken as an identifier, as a message body, and as the identifier inside one.
  bool identifier = isUnlockRequestIdentifier(body);
  require(!identifier || (body.size() >= 8 && body.size() <= 100));
  auto wrapped = unlockRequestIdentifier(nlohmann::json{{"request_id", std::string(body)}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace));
  require(wrapped.has_value() == identifier);

  auto requestID = unlockRequestIdentifier(body);
  if (!requestID) {
    return 0;
  }
  require(isUnlockRequestIdentifier(*requestID));
  require(body.size() <= unlockMessageMaximumBytes);
  for (bool accepted : {true, false}) {
    auto script = financialUnlockScript(*requestID, accepted);
    require(script.has_value());
    std::string_view text = *script;
    constexpr std::string_view start =
        "window.dispatchEvent(new CustomEvent('tarnwick-financial-unlock',{detail:";
    constexpr std::string_view end = "}));";
    require(text.starts_with(start) && text.ends_with(end));
    text.remove_prefix(start.size());
    text.remove_suffix(end.size());
    auto detail = nlohmann::json::parse(text, nullptr, false);
    require(detail == nlohmann::json{{"request_id", *requestID}, {"ok", accepted}});
  }
  return 0;
}
