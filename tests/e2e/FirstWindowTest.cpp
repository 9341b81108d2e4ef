#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Harness.h"

namespace tarnwick::e2e {
namespace {

// Holds the Connector's port with a listener that never answers, so the health check waits its
// full time and the connecting page stays on screen.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(8766);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(fd_, 16) == 0;
  }
  ~SilentListener() { ::close(fd_); }
  bool bound() const { return bound_; }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

bool isStatusBackground(const Pixel& pixel) {
  return pixel.red == 0x17 && pixel.green == 0x19 && pixel.blue == 0x1d;
}

TEST(FirstWindow, OpensOneWindowOfTheRightSizeShowingTheConnectingPage) {
  SilentListener listener;
  ASSERT_TRUE(listener.bound()) << "port 8766 is in use";
  VirtualDisplay display;
  ASSERT_TRUE(display.ready());
  TemporaryFolder home;
  Process::Options options;
  options.environment = {{"DISPLAY", display.name()}, {"HOME", home.path().string()}};
  options.unset = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                   "WAYLAND_DISPLAY"};
  options.stderrFile = home.path() / "stderr.txt";
  Process app(appExecutable().string(), {}, options);
  ASSERT_TRUE(app.started());

  Screen screen(display.name());
  ASSERT_TRUE(screen.connected());
  auto window = screen.waitForWindow(isShellWindow, 30s);
  ASSERT_TRUE(window) << "no window titled Tarnwick appeared";
  EXPECT_EQ(window->width, 1080);
  EXPECT_EQ(window->height, 780);
  // Centred on the 1280 × 900 screen.
  EXPECT_EQ(window->x, (display.width() - 1080) / 2);
  EXPECT_EQ(window->y, (display.height() - 780) / 2);
  EXPECT_EQ(screen.shellWindows().size(), 1U);

  // The status page paints its dark background across the web view.
  int probeX = window->x + window->width / 2;
  int probeY = window->y + window->height - 40;
  EXPECT_TRUE(waitUntil(
      [&] {
        auto pixel = screen.pixel(probeX, probeY);
        return pixel && isStatusBackground(*pixel);
      },
      20s))
      << "the status page did not appear";
  saveScreenshot(display.name(), "first-window-connecting");
  EXPECT_TRUE(app.running());
}

}  // namespace
}  // namespace tarnwick::e2e
