// Snapshots of every screen with XGetImage, and whether they may be taken.

#include <algorithm>
#include <bit>
#include <cstdint>

#include "platform/linux/support/X11Connection.h"

namespace tarnwick::platform::linux_desktop {

namespace {

// Eight bits of a colour channel from a pixel, whatever the visual's mask.
std::uint8_t channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) {
    return 0;
  }
  int shift = std::countr_zero(mask);
  int bits = std::popcount(mask);
  unsigned long value = (pixel & mask) >> shift;
  unsigned long largest = (1UL << bits) - 1;
  return static_cast<std::uint8_t>((value * 255 + largest / 2) / largest);
}

// Copies one screen's root window into the RGB image at the given left edge.
bool captureScreen(Display* display, const ScreenArea& area, Image& image) {
  XImagePtr held(XGetImage(display, RootWindow(display, area.screen), 0, 0,
                           static_cast<unsigned int>(area.width),
                           static_cast<unsigned int>(area.height), AllPlanes, ZPixmap));
  XImage* captured = held.get();
  if (!captured) {
    return false;
  }
  bool usable = captured->red_mask && captured->green_mask && captured->blue_mask;
  bool common = captured->bits_per_pixel == 32 && captured->red_mask == 0xFF0000 &&
                captured->green_mask == 0xFF00 && captured->blue_mask == 0xFF &&
                captured->byte_order == LSBFirst;
  for (int y = 0; usable && y < area.height; ++y) {
    auto* out =
        image.rgb.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                            static_cast<std::size_t>(area.left)) *
                               3;
    const auto* row =
        reinterpret_cast<const std::uint8_t*>(captured->data) +
        static_cast<std::size_t>(y) * static_cast<std::size_t>(captured->bytes_per_line);
    for (int x = 0; x < area.width; ++x, out += 3) {
      if (common) {
        const std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 4;
        out[0] = pixel[2], out[1] = pixel[1], out[2] = pixel[0];
      } else {
        unsigned long pixel = XGetPixel(captured, x, y);
        out[0] = channel(pixel, captured->red_mask);
        out[1] = channel(pixel, captured->green_mask);
        out[2] = channel(pixel, captured->blue_mask);
      }
    }
  }
  return usable;
}

class X11Screen final : public Screen {
 public:
  explicit X11Screen(X11Connection& connection) : connection_(connection) {}

  // Every screen's root window, side by side: the root holds all the screen's monitors.
  std::optional<Image> captureAllDisplays() override {
    Display* display = connection_.display();
    if (!display) {
      return std::nullopt;
    }
    auto areas = screenAreas(display);
    Image image;
    for (const auto& area : areas) {
      image.width += area.width;
      image.height = std::max(image.height, area.height);
    }
    image.rgb.assign(
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3, 0);
    connection_.settled();
    for (const auto& area : areas) {
      if (!captureScreen(display, area, image)) {
        connection_.settled();
        return std::nullopt;
      }
    }
    if (!connection_.settled() || image.width == 0 || image.height == 0) {
      return std::nullopt;
    }
    return image;
  }

 private:
  X11Connection& connection_;
};

// X has no permission prompts: input is possible where the server takes XTest events, capture
// where the root window can be read. A request asks the same.
class X11PrivacyAccess final : public PrivacyAccess {
 public:
  explicit X11PrivacyAccess(X11Connection& connection) : connection_(connection) {}

  bool isTrustedForAccessibility(bool) override { return connection_.canPostInput(); }

  bool screenCaptureAllowed() override {
    Display* display = connection_.display();
    if (!display) {
      return false;
    }
    connection_.settled();
    XImagePtr pixel(XGetImage(display, DefaultRootWindow(display), 0, 0, 1, 1, AllPlanes, ZPixmap));
    return connection_.settled() && pixel;
  }

  bool requestScreenCapture() override { return screenCaptureAllowed(); }

 private:
  X11Connection& connection_;
};

}  // namespace

std::unique_ptr<Screen> makeX11Screen(X11Connection& connection) {
  return std::make_unique<X11Screen>(connection);
}

std::unique_ptr<PrivacyAccess> makeX11PrivacyAccess(X11Connection& connection) {
  return std::make_unique<X11PrivacyAccess>(connection);
}

}  // namespace tarnwick::platform::linux_desktop
