#pragma once

// The update download of the stand-in service host, GET /support/mac/download, answered in one
// mode per host process (the address itself may carry nothing that could choose):
//
//   --download-image FILE    the image served in the modes that send one
//   --download-mode MODE     image (the default)  200, the image
//                            html                 200, an HTML page instead of the image
//                            404, 500             that status, a short HTML body
//                            drop                 200 announcing the image's length, then the
//                                                 connection closes halfway through the body
//                            slow-N               200, the image spread over N seconds (at most
//                            600)

#include <httplib.h>

#include <atomic>
#include <optional>
#include <string>

namespace tarnwick::servicehost {

struct DownloadOptions {
  std::optional<std::string> image;
  std::optional<std::string> mode;  // "image" when only the image is given
};

// Takes `--name value` when it is a download option; false when it is not one.
bool readDownloadOption(const std::string& name, const std::string& value,
                        DownloadOptions& options);

// Without either option the host serves no download. False when the mode is not known or the
// image cannot be read.
bool serveDownloads(httplib::SSLServer& server, const DownloadOptions& options,
                    const std::atomic<bool>& stopping);

}  // namespace tarnwick::servicehost
