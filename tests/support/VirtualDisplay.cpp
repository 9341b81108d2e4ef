#include "VirtualDisplay.h"

namespace tarnwick::testsupport {

VirtualDisplay::VirtualDisplay(int width, int height) {
  auto screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  // Xvfb writes the display number once it accepts connections.
  server_ = std::make_unique<Process>(
      "/usr/bin/Xvfb",
      std::vector<std::string>{"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp",
                               "-noreset", "+extension", "XTEST"},
      Process::Options{.stdoutFile = folder_.path() / "display"});
  auto number = server_->firstLine(folder_.path() / "display");
  name_ = number.empty() ? "" : ":" + number;
}

}  // namespace tarnwick::testsupport
