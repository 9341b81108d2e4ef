// A redemption answer from the network: any body, under a success and a failure status.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "links/Redemption.h"
#include "links/Url.h"

namespace {

using tarnwick::fuzz::require;

bool endsWith(const std::string& text, std::string_view ending) {
  return text.size() >= ending.size() &&
         text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  for (int status : {200, 404}) {
    tarnwick::platform::HttpResponse response;
    response.status = status;
    response.body = body;
    auto outcome = tarnwick::links::redemptionOutcome(response);
    if (outcome.pairingURL) {
      require(status == 200 && outcome.failureMessage.empty());
      require(tarnwick::links::Url::parse(*outcome.pairingURL).has_value());
    } else {
      require(endsWith(outcome.failureMessage, tarnwick::links::redemptionFailureSuffix));
    }
  }
  return 0;
}
