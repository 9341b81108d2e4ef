// Stands in for a login item. Started with no arguments, it appends its pid to <self>.starts and
// waits to be stopped. When <self>.stubborn exists it ignores SIGTERM. It ends by itself after a
// minute, so a failed test leaves nothing running for long.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

int main() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return 70;
  }
  if (std::filesystem::exists(self.string() + ".stubborn")) {
    ::signal(SIGTERM, SIG_IGN);
  }
  std::ofstream(self.string() + ".starts", std::ios::app) << ::getpid() << "\n" << std::flush;
  for (int second = 0; second < 60; ++second) {
    ::sleep(1);
  }
  return 0;
}
