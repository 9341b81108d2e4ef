#pragma once

#include "platform/SupportDevices.h"

namespace tarnwick::platform::linux_desktop {

// Baseline JPEG through libjpeg-turbo, in memory.
class LibjpegEncoder final : public ImageEncoder {
 public:
  std::optional<std::vector<std::uint8_t>> encodeJPEG(const Image& image, double quality) override;
};

}  // namespace tarnwick::platform::linux_desktop
