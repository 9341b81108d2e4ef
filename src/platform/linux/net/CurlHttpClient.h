#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "platform/HttpClient.h"

namespace tarnwick::platform::linux_desktop {

// HTTP and HTTPS on libcurl. One worker thread drives every transfer through one multi handle,
// so requests run side by side, and every completion runs on that thread.
//
// A request goes out with exactly its caller's headers: curl's own defaults ("Accept: */*",
// "Expect: 100-continue", a form content type for bodies) are withheld, and a header that could
// break out of its line is refused before anything is sent. Only http and https are spoken, also
// across redirects, which are followed up to a small limit; loopback addresses never go through a
// proxy. Nothing is cached, so every cache policy asks the server. The server certificate is
// checked against the system's trust store.
//
// A response that arrived has its status, headers and body (possibly empty); a failed transfer
// has only a readable sentence in `transportError`. Transfers still open when the client is
// destroyed are abandoned without their completions.
class CurlHttpClient final : public HttpClient {
 public:
  struct Limits {
    // Data tasks keep their body in memory; a larger body fails the transfer.
    std::size_t maximumBodyBytes = std::size_t{16} * 1024 * 1024;
    long maximumRedirects = 8;
  };

  CurlHttpClient();
  explicit CurlHttpClient(Limits limits);
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  void dataTask(HttpRequest request, DataCompletion completion) override;
  // The body is saved to a private file in the temporary folder, removed once the completion
  // returns; move it away inside the completion to keep it.
  void downloadTask(HttpRequest request, DownloadCompletion completion) override;

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
};

}  // namespace tarnwick::platform::linux_desktop
