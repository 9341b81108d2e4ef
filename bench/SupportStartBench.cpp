// Wall time of one support-control command, from process start to exit, beside the same figure
// for xdotool doing the same key press, both on an X server of the benchmark's own. Prints
// medians; asserts nothing.
//
//   tarnwick_support_start_bench [runs]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Files.h"
#include "VirtualDisplay.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;
};

// Starts a program with the given environment changes; output to the given files.
Child spawn(const std::vector<std::string>& command, const std::map<std::string, std::string>& set,
            const std::string& out = "/dev/null", const std::string& err = "/dev/null") {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    auto name = text.substr(0, text.find('='));
    if (!set.contains(name)) {
      environment.push_back(text);
    }
  }
  for (const auto& [name, value] : set) {
    environment.push_back(name + "=" + value);
  }
  std::vector<char*> argv, envp;
  for (const auto& argument : command) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  for (auto& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Child child;
  if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    child.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

int waitFor(Child child) {
  int status = 0;
  if (child.pid <= 0 || waitpid(child.pid, &status, 0) != child.pid) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Median wall time in milliseconds of `runs` runs, or a negative value when a run failed.
double medianMilliseconds(const std::vector<std::string>& command,
                          const std::map<std::string, std::string>& environment, int runs,
                          int expectedStatus) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    auto start = Clock::now();
    int status = waitFor(spawn(command, environment));
    auto elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (status != expectedStatus) {
      std::fprintf(stderr, "%s exited with %d\n", command.front().c_str(), status);
      return -1;
    }
    times.push_back(elapsed);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const std::string app = TARNWICK_APP_EXECUTABLE;
  const std::string desktopModule = TARNWICK_DESKTOP_MODULE;

  tarnwick::testsupport::VirtualDisplay display;
  if (!display.ready()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  const std::string number = display.name().substr(1);
  std::map<std::string, std::string> onDisplay{{"DISPLAY", ":" + number}};

  struct Row {
    const char* label;
    std::vector<std::string> command;
    std::map<std::string, std::string> environment;
    int status;
  };
  std::vector<Row> rows{
      {"Tarnwick --tarnwick-support-key 36", {app, "--tarnwick-support-key", "36"}, onDisplay, 0},
      {"xdotool key Return", {"xdotool", "key", "Return"}, onDisplay, 0},
      {"Tarnwick --tarnwick-support-unknown (no display opened)",
       {app, "--tarnwick-support-unknown"},
       onDisplay,
       2},
      {"Tarnwick --tarnwick-support-unknown, LD_BIND_NOW=1",
       {app, "--tarnwick-support-unknown"},
       {{"DISPLAY", ":" + number}, {"LD_BIND_NOW", "1"}},
       2},
      {"/bin/true", {"/bin/true"}, onDisplay, 0},
  };
  std::printf("median wall time of %d runs, process start to exit, display :%s\n", runs,
              number.c_str());
  std::vector<double> medians;
  for (const auto& row : rows) {
    // One run first, so that every program starts from a warm page cache.
    waitFor(spawn(row.command, row.environment));
    double median = medianMilliseconds(row.command, row.environment, runs, row.status);
    medians.push_back(median);
    std::printf("  %-58s %8.2f ms\n", row.label, median);
  }
  if (medians[0] > 0 && medians[1] > 0) {
    std::printf("ratio Tarnwick key / xdotool key: %.2f\n", medians[0] / medians[1]);
  }

  // What the dynamic loader does at start: the libraries it maps and the time it reports.
  {
    tarnwick::testsupport::TemporaryFolder scratch("tarnwick-bench");
    std::string listed = (scratch.path() / "libraries").string();
    waitFor(spawn({app}, {{"LD_TRACE_LOADED_OBJECTS", "1"}}, listed));
    auto libraries = tarnwick::testsupport::readFile(listed);
    std::printf("shared libraries loaded by Tarnwick for a support command: %ld\n",
                static_cast<long>(std::count(libraries.begin(), libraries.end(), '\n')));
    // What the windowed path loads on top, with the desktop module.
    waitFor(spawn({"/usr/bin/ldd", desktopModule}, {}, listed));
    libraries = tarnwick::testsupport::readFile(listed);
    std::printf("shared libraries loaded with the desktop module: %ld\n",
                static_cast<long>(std::count(libraries.begin(), libraries.end(), '\n')));
    std::string statistics = (scratch.path() / "statistics").string();
    waitFor(spawn({app, "--tarnwick-support-unknown"}, {{"LD_DEBUG", "statistics"}}, "/dev/null",
                  statistics));
    std::istringstream lines(tarnwick::testsupport::readFile(statistics));
    for (std::string line; std::getline(lines, line);) {
      if (line.find("total startup time") != std::string::npos ||
          line.find("time needed for relocation") != std::string::npos ||
          line.find("number of relocations:") != std::string::npos ||
          line.find("final number of relocations") != std::string::npos ||
          line.find("time needed to load objects") != std::string::npos) {
        auto text = line.substr(line.find(':') + 1);
        std::printf("  loader:%s\n", text.c_str());
      }
    }
  }

  return 0;
}
