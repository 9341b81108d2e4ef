#include "DownloadModes.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

namespace tarnwick::servicehost {

namespace {

constexpr const char* downloadPath = "/support/mac/download";
constexpr const char* imageType = "application/octet-stream";

std::optional<int> slowSeconds(const std::string& mode) {
  if (mode.rfind("slow-", 0) != 0 || mode.size() == 5 || mode.size() > 8 ||
      !std::all_of(mode.begin() + 5, mode.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return std::min(std::stoi(mode.substr(5)), 600);
}

}  // namespace

bool readDownloadOption(const std::string& name, const std::string& value,
                        DownloadOptions& options) {
  if (name == "--download-image") {
    options.image = value;
    return true;
  }
  if (name == "--download-mode") {
    options.mode = value;
    return true;
  }
  return false;
}

bool serveDownloads(httplib::SSLServer& server, const DownloadOptions& options,
                    const std::atomic<bool>& stopping) {
  if (!options.mode && !options.image) {
    return true;
  }
  const std::string mode = options.mode.value_or("image");
  auto seconds = slowSeconds(mode);
  const bool sendsImage = mode == "image" || mode == "drop" || seconds;
  if (!sendsImage && mode != "html" && mode != "404" && mode != "500") {
    return false;
  }
  auto image = std::make_shared<std::string>();
  if (sendsImage) {
    if (!options.image) {
      return false;
    }
    std::ifstream file(*options.image, std::ios::binary);
    if (!file) {
      return false;
    }
    image->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  server.Get(downloadPath, [image, mode, seconds, &stopping](const httplib::Request&,
                                                             httplib::Response& response) {
    if (mode == "image") {
      response.set_content(*image, imageType);
    } else if (mode == "html") {
      response.set_content("<!doctype html><title>Downloads</title><p>Choose your download.</p>",
                           "text/html");
    } else if (mode == "404" || mode == "500") {
      response.status = std::stoi(mode);
      response.set_content("<!doctype html><title>" + mode + "</title>", "text/html");
    } else if (mode == "drop") {
      // The length promised is the whole image; the provider gives up halfway, which closes
      // the connection.
      response.set_content_provider(
          image->size(), imageType,
          [image](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            const std::size_t half = image->size() / 2;
            if (offset >= half) {
              return false;
            }
            return sink.write(image->data() + offset, half - offset);
          });
    } else {
      const std::size_t steps = 50;
      const auto pause = std::chrono::milliseconds(*seconds * 1000 / static_cast<int>(steps));
      const std::size_t step = std::max<std::size_t>(1, (image->size() + steps - 1) / steps);
      response.set_content_provider(image->size(), imageType,
                                    [image, pause, step, &stopping](std::size_t offset, std::size_t,
                                                                    httplib::DataSink& sink) {
                                      if (stopping) {
                                        return false;
                                      }
                                      std::this_thread::sleep_for(pause);
                                      std::size_t length = std::min(step, image->size() - offset);
                                      return sink.write(image->data() + offset, length);
                                    });
    }
  });
  return true;
}

}  // namespace tarnwick::servicehost
