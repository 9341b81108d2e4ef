// `instance <data> [url...]`: holds the lock and prints activations, or activates the holder.
// `launch <watched|plain> <tool> <a>...`: starts it through the runner. Bare (a login item): adds
// its pid to <self>.starts, ignores SIGTERM when <self>.stubborn exists, ends after a minute.
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <numeric>

#include "app/TarnwickVisibleInstance.h"
#include "connector/PosixCommandRunner.h"

int main(int argc, char** argv) {
  std::vector<std::string> rest(argv + std::min(argc, 2), argv + argc);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "instance" && !rest.empty()) {
    auto& instance = tarnwick::app::TarnwickVisibleInstance::shared();
    if (!instance.claim(std::filesystem::path(rest[0]))) {
      instance.activateExisting({rest.begin() + 1, rest.end()});
      return 0;
    }
    auto say = [](std::string line) {  // one write a line, whichever thread says it
      line += "\n";
      return ::write(STDOUT_FILENO, line.data(), line.size()) > 0;
    };
    instance.listen([&](std::vector<std::string> urls) {
      say(std::accumulate(urls.begin(), urls.end(), std::string("activate"),
                          [](auto line, auto& url) { return line + "\t" + url; }));
    });
    say(instance.lockDescriptor() >= 0 ? "primary locked" : "primary unguarded");
    for (;;) {
      ::pause();
    }
  }
  if (mode == "launch" && rest.size() >= 2) {
    tarnwick::connector::PosixCommandRunner runner;
    std::vector<std::string> arguments(rest.begin() + 2, rest.end());
    if (rest[0] == "watched") {
      runner.launchWatched(rest[1], arguments);
      return 0;
    }
    return runner.launch(rest[1], arguments) ? 0 : 1;
  }
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  if (std::filesystem::exists(self + ".stubborn")) {
    ::signal(SIGTERM, SIG_IGN);
  }
  std::ofstream(self + ".starts", std::ios::app) << ::getpid() << "\n" << std::flush;
  ::sleep(60);
}
