#include "links/Redemption.h"

#include <exception>
#include <nlohmann/json.hpp>

#include "links/LocalPairing.h"
#include "service/ServiceContract.h"

namespace tarnwick::links {

namespace {

// A member of another JSON type counts as missing.
const std::string* stringMember(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) {
    return nullptr;
  }
  return found->get_ptr<const std::string*>();
}

}  // namespace

platform::HttpRequest redemptionRequest(const std::string& redemptionURL) {
  platform::HttpRequest request;
  request.method = "POST";
  request.url = redemptionURL;
  request.headers = {{"Content-Type", "application/json"}};
  request.body = "{}";
  request.timeout = platform::Seconds(service::redemptionTimeoutSeconds);
  request.cachePolicy = platform::CachePolicy::protocolDefault;
  return request;
}

RedemptionOutcome redemptionOutcome(const platform::HttpResponse& response) {
  std::string message = response.transportError.value_or(std::string(redemptionDefaultMessage));
  std::optional<Url> pairing;

  if (response.status && response.body) {
    try {
      auto answer = nlohmann::json::parse(*response.body, nullptr, /*allow_exceptions=*/false);
      if (answer.is_object()) {
        if (const auto* error = stringMember(answer, "error"); error && !error->empty()) {
          message = *error;
        }
        const auto* server = stringMember(answer, "server_url");
        const auto* code = stringMember(answer, "code");
        const auto* completionURL = stringMember(answer, "completion_url");
        const auto* completionToken = stringMember(answer, "completion_token");
        if (*response.status >= 200 && *response.status < 300 && server && code && completionURL &&
            completionToken) {
          pairing = makeLocalPairingURL(*server, *code, *completionURL, *completionToken);
        }
      }
    } catch (const std::exception&) {
      // An answer that cannot be read is a failure with the message chosen so far.
    }
  }

  if (pairing) {
    return {pairing->text(), {}};
  }
  return {std::nullopt, message + std::string(redemptionFailureSuffix)};
}

}  // namespace tarnwick::links
