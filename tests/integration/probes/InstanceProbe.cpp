// Starts like the shell does as far as the single visible instance goes: claim the lock, and
// either activate the holder and exit 0, or hold it and report every activation on standard output
// until killed. Usage: tarnwick_instance_probe <data folder> [url...]
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "app/TarnwickVisibleInstance.h"

namespace {

void say(const std::string& line) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  std::string text = line + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t count = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
    if (count <= 0) {
      return;
    }
    written += static_cast<std::size_t>(count);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return 64;
  }
  std::vector<std::string> urls(argv + 2, argv + argc);
  auto& instance = tarnwick::app::TarnwickVisibleInstance::shared();
  if (!instance.claim(std::filesystem::path(argv[1]))) {
    instance.activateExisting(urls);
    return 0;
  }
  instance.listen([](std::vector<std::string> received) {
    std::string line = "activate";
    for (const auto& url : received) {
      line += "\t" + url;
    }
    say(line);
  });
  say(instance.lockDescriptor() >= 0 ? "primary locked" : "primary unguarded");
  for (;;) {
    ::pause();
  }
}
