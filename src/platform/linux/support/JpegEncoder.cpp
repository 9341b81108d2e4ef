#include "platform/linux/support/JpegEncoder.h"

#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace tarnwick::platform::linux_desktop {

namespace {

// libjpeg's own error exit ends the process; ours jumps back to the encoder instead.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void jumpBack(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void ignoreMessage(j_common_ptr) {}

// Everything the jump may cross lives here, outside the frame of setjmp, so that nothing with a
// destructor is skipped and no local is left indeterminate.
struct Job {
  jpeg_compress_struct compressor{};
  ErrorManager errors{};
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
};

bool compress(Job& job, const Image& image, int quality) {
  job.compressor.err = jpeg_std_error(&job.errors.base);
  job.errors.base.error_exit = jumpBack;
  job.errors.base.output_message = ignoreMessage;
  if (setjmp(job.errors.jump) != 0) {
    jpeg_destroy_compress(&job.compressor);
    return false;
  }
  jpeg_create_compress(&job.compressor);
  jpeg_mem_dest(&job.compressor, &job.buffer, &job.size);
  job.compressor.image_width = static_cast<JDIMENSION>(image.width);
  job.compressor.image_height = static_cast<JDIMENSION>(image.height);
  job.compressor.input_components = 3;
  job.compressor.in_color_space = JCS_RGB;
  jpeg_set_defaults(&job.compressor);
  jpeg_set_quality(&job.compressor, quality, TRUE);
  jpeg_start_compress(&job.compressor, TRUE);
  auto stride = static_cast<std::size_t>(image.width) * 3;
  while (job.compressor.next_scanline < job.compressor.image_height) {
    // libjpeg takes rows as non-const but only reads them.
    JSAMPROW row = const_cast<JSAMPLE*>(image.rgb.data()) + job.compressor.next_scanline * stride;
    jpeg_write_scanlines(&job.compressor, &row, 1);
  }
  jpeg_finish_compress(&job.compressor);
  jpeg_destroy_compress(&job.compressor);
  return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> LibjpegEncoder::encodeJPEG(const Image& image,
                                                                    double quality) {
  constexpr int largestSide = JPEG_MAX_DIMENSION;
  if (image.width <= 0 || image.height <= 0 || image.width > largestSide ||
      image.height > largestSide ||
      image.rgb.size() !=
          static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3 ||
      !(quality >= 0 && quality <= 1)) {
    return std::nullopt;
  }
  Job job;
  bool encoded = compress(job, image, static_cast<int>(std::lround(quality * 100)));
  std::optional<std::vector<std::uint8_t>> data;
  if (encoded && job.buffer && job.size > 0) {
    data.emplace(job.buffer, job.buffer + job.size);
  }
  std::free(job.buffer);
  return data;
}

}  // namespace tarnwick::platform::linux_desktop
