#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/MainQueue.h"

namespace tarnwick::platform {

enum class CachePolicy {
  protocolDefault,
  reloadIgnoringLocalCache,
  reloadIgnoringLocalAndRemoteCache,
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  HeaderList headers;  // exactly the headers the caller sets; the client adds none of its own
  std::string body;
  Seconds timeout{60.0};
  CachePolicy cachePolicy = CachePolicy::protocolDefault;
};

struct HttpResponse {
  std::optional<int> status;  // absent when no HTTP response arrived
  HeaderList headers;
  std::optional<std::string> body;           // absent when the response carried no data
  std::optional<std::string> transportError;  // a readable description of a transfer failure
  // For a server on this machine: the account that owns the very socket that answered. Absent
  // for other servers, or when the owner could not be told (then it is nobody's to trust).
  std::optional<std::uint32_t> peerAccount;

  // Header names compare case-insensitively; absent when the header was not sent.
  std::optional<std::string> header(std::string_view name) const;
};

// Completions run on the client's loader thread, never on the main thread: they may only
// compute and then hop to the MainQueue.
class HttpClient {
 public:
  virtual ~HttpClient() = default;

  using DataCompletion = std::function<void(const HttpResponse&)>;
  // `file` names the saved body; it is deleted once the completion returns.
  using DownloadCompletion =
      std::function<void(const HttpResponse&, const std::optional<std::filesystem::path>& file)>;

  virtual void dataTask(HttpRequest request, DataCompletion completion) = 0;
  virtual void downloadTask(HttpRequest request, DownloadCompletion completion) = 0;
};

}  // namespace tarnwick::platform
