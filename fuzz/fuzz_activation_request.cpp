// The activation channel's request: any bytes another process of this user writes to the socket.
// A request of either form that decodes encodes back to exactly the same bytes, a token it carries
// is one, and any token and list of URLs the encoder takes decode back to the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "app/ActivationChannel.h"

using tarnwick::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  using namespace tarnwick::app::activation;

  if (auto urls = decodeRequest(bytes)) {
    require(bytes.size() <= maximumRequestSize);
    auto again = encodeRequest(*urls);
    require(again.has_value() && *again == bytes);
  }
  if (auto activation = decodeActivation(bytes)) {
    require(activation->token.empty() || isStartupToken(activation->token));
    auto again = encodeRequest(activation->urls, activation->token);
    require(again.has_value() && *again == bytes);
  }

  // The same bytes split at NUL into URLs, as a second copy would hand them over.
  std::vector<std::string> urls;
  for (std::size_t start = 0; start <= bytes.size();) {
    auto end = bytes.find('\0', start);
    if (end == std::string_view::npos) {
      end = bytes.size();
    }
    urls.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  if (auto request = encodeRequest(urls)) {
    require(request->size() <= maximumRequestSize);
    auto decoded = decodeRequest(*request);
    require(decoded.has_value() && *decoded == urls);
  }
  // The first of them as the token, the rest as its URLs.
  const std::vector<std::string> rest(urls.begin() + 1, urls.end());
  if (auto request = encodeRequest(rest, urls.front())) {
    require(request->size() <= maximumRequestSize);
    require(decodeActivation(*request) == Activation{rest, urls.front()});
  }
  return 0;
}
