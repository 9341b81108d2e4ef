// Launch cost of the shell beside a bare WebKitGTK window: from process start to the interface
// page's `load` event, and the peak resident memory of the UI process and of its web processes.
// Both run alternately, each in a fresh home, under one Xvfb, against a Connector look-alike of
// this benchmark's own that is healthy from the start. Prints medians and spreads; asserts nothing.
//
//   tarnwick_launch_bench [runs] [shell executable]
//
// A shell executable of another build (say, of an earlier commit) can stand in for this build's.
//
// The shell's breakdown is read from outside, so the shell runs exactly as shipped: the window's
// map from the X server, the status page from the window's pixels taking its colour, the
// health answer and the interface request from the server's log, the `load` event from a request
// the page makes in its handler.
// Before Xlib, whose macros (Status, Bool, …) would break it.
#include <httplib.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Files.h"
#include "Processes.h"
#include "VirtualDisplay.h"

namespace {

using tarnwick::testsupport::Clock;
using tarnwick::testsupport::Process;
using tarnwick::testsupport::TemporaryFolder;
using namespace std::chrono_literals;

const std::string version = TARNWICK_PROJECT_VERSION;

// What happened during one run, in milliseconds after the process started.
struct Marks {
  std::optional<double> mapped, statusShown, healthAnswered, interfaceRequested, loaded;
  std::optional<long> peakKiB;
  // The web processes alive at that moment, summed: a process kept from an earlier page counts.
  std::optional<long> webPeakKiB;
  int webProcesses = 0;
};

// Times are kept relative to the start of the current run; the server and the X watcher write
// them from their own threads.
class Recorder {
 public:
  void begin() {
    std::lock_guard lock(mutex_);
    start_ = Clock::now();
    marks_ = {};
  }
  void mark(std::optional<double> Marks::*field) {
    std::lock_guard lock(mutex_);
    if (!(marks_.*field)) {
      marks_.*field = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    }
  }
  Marks marks() {
    std::lock_guard lock(mutex_);
    return marks_;
  }
  void setPeaks(long kib, long webKiB, int webProcesses) {
    std::lock_guard lock(mutex_);
    marks_.peakKiB = kib;
    marks_.webPeakKiB = webKiB;
    marks_.webProcesses = webProcesses;
  }

 private:
  std::mutex mutex_;
  Clock::time_point start_;
  Marks marks_;
};

// The Connector look-alike: a healthy Server header, the interface with its three meta elements,
// and a page script that reports the `load` event.
void serve(httplib::Server& server, Recorder& recorder) {
  server.set_default_headers({{"Server", "TarnwickDesktop/" + version}});
  server.Get("/", [&](const httplib::Request& request, httplib::Response& response) {
    bool fromWebView = request.get_header_value("User-Agent").find("Mozilla") != std::string::npos;
    recorder.mark(fromWebView ? &Marks::interfaceRequested : &Marks::healthAnswered);
    response.set_header("Cache-Control", "no-store");
    response.set_content(
        "<!doctype html><html><head><meta charset=\"utf-8\"><title>Tarnwick</title>"
        "<meta name=\"tarnwick-client-version\" content=\"2026.12.1\">"
        "<meta name=\"tarnwick-client-source\" content=\"bundled\">"
        "<meta name=\"tarnwick-desktop-csrf\" content=\"bench\">"
        "<script>addEventListener('load', () => fetch('/bench/loaded', {cache: 'no-store'}));"
        "</script></head><body><h1>Tarnwick</h1><p>Interface</p></body></html>",
        "text/html; charset=utf-8");
  });
  server.Get("/bench/loaded", [&](const httplib::Request&, httplib::Response& response) {
    recorder.mark(&Marks::loaded);
    response.status = 204;
  });
}

// Watches the X server for the first top-level map, then the window's pixels for the status page.
class WindowWatcher {
 public:
  WindowWatcher(const std::string& displayName, Recorder& recorder) : recorder_(recorder) {
    // A window may go away between an event and a query about it; that is no reason to exit.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    display_ = XOpenDisplay(displayName.c_str());
    if (!display_) {
      return;
    }
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
    thread_ = std::thread([this] { loop(); });
  }
  ~WindowWatcher() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
    if (display_) {
      XCloseDisplay(display_);
    }
  }
  WindowWatcher(const WindowWatcher&) = delete;
  WindowWatcher& operator=(const WindowWatcher&) = delete;
  bool ready() const { return display_ != nullptr; }

 private:
  void loop() {
    Window mapped = 0;  // none yet
    while (!stop_) {
      if (XPending(display_) == 0) {
        if (mapped != 0 && !recorder_.marks().statusShown && showsStatusPage(mapped)) {
          recorder_.mark(&Marks::statusShown);
        }
        std::this_thread::sleep_for(2ms);
        continue;
      }
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == MapNotify && !event.xmap.override_redirect) {
        recorder_.mark(&Marks::mapped);
        mapped = event.xmap.window;
      } else if ((event.type == UnmapNotify && mapped == event.xunmap.window) ||
                 (event.type == DestroyNotify && mapped == event.xdestroywindow.window)) {
        mapped = 0;
      }
    }
  }

  // The status page's background colour at the left edge, halfway down the window.
  bool showsStatusPage(Window window) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, window, &attributes) ||
        attributes.map_state != IsViewable) {
      return false;
    }
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), attributes.x + 8,
                              attributes.y + attributes.height / 2, 1, 1, AllPlanes, ZPixmap);
    if (!image) {
      return false;
    }
    unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return (pixel & 0xffffff) == 0x17191d;
  }

  Recorder& recorder_;
  Display* display_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

long peakResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return -1;
}

// The parent of a process, from /proc/PID/stat; the command name may hold spaces or parentheses.
int parentOf(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) {
    return -1;
  }
  char state = 0;
  int parent = -1;
  return std::sscanf(text.c_str() + close + 1, " %c %d", &state, &parent) == 2 ? parent : -1;
}

// Every process below the one given (the engine's helpers may sit under a sandbox launcher).
std::vector<int> descendantsOf(int root) {
  std::vector<std::pair<int, int>> processes;  // pid, parent
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const auto name = entry.path().filename().string();
    if (!name.empty() && std::all_of(name.begin(), name.end(),
                                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
      int pid = std::atoi(name.c_str());
      processes.emplace_back(pid, parentOf(pid));
    }
  }
  std::vector<int> found{root};
  for (std::size_t next = 0; next < found.size(); ++next) {
    for (const auto& [pid, parent] : processes) {
      if (parent == found[next]) {
        found.push_back(pid);
      }
    }
  }
  found.erase(found.begin());
  return found;
}

// The summed peaks of the web processes under the given process, and how many there are.
std::pair<long, int> webProcessPeaks(int root) {
  long total = 0;
  int count = 0;
  for (int pid : descendantsOf(root)) {
    std::string command = tarnwick::testsupport::readFile(std::filesystem::path("/proc") /
                                                          std::to_string(pid) / "comm");
    // The kernel keeps fifteen characters of "WebKitWebProcess".
    if (command.rfind("WebKitWebProces", 0) == 0) {
      if (long peak = peakResidentKiB(pid); peak > 0) {
        total += peak;
        ++count;
      }
    }
  }
  return {total, count};
}

// One launch in a fresh home; nothing when the page never reported its `load` event.
std::optional<Marks> launch(const std::string& executable, const std::string& display,
                            const std::string& sessionBus, Recorder& recorder) {
  TemporaryFolder home("tarnwick-launch-bench");
  Process::Options options;
  options.environment = {{"DISPLAY", display},
                         {"HOME", home.path().string()},
                         {"XDG_DATA_HOME", (home.path() / "data").string()},
                         {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                         {"XDG_CACHE_HOME", (home.path() / "cache").string()}};
  // One session bus for every run, and no accessibility bus, so that neither program starts
  // daemons of its own that outlive it.
  options.environment["DBUS_SESSION_BUS_ADDRESS"] = sessionBus;
  options.environment["NO_AT_BRIDGE"] = "1";
  recorder.begin();
  Process process(executable, {}, options);
  bool loaded = tarnwick::testsupport::waitUntil(
      [&] { return recorder.marks().loaded.has_value(); }, 30s, 2ms);
  // The high-water mark a moment after `load`, the same moment for both programs.
  std::this_thread::sleep_for(500ms);
  auto [webPeak, webProcesses] = webProcessPeaks(process.pid());
  recorder.setPeaks(peakResidentKiB(process.pid()), webPeak, webProcesses);
  process.terminate();
  process.wait(5s);
  if (!loaded) {
    return std::nullopt;
  }
  return recorder.marks();
}

struct Spread {
  double median = 0, low = 0, high = 0;
  std::size_t count = 0;
};

Spread spread(std::vector<double> values) {
  if (values.empty()) {
    return {};
  }
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back(), values.size()};
}

std::vector<double> pick(const std::vector<Marks>& runs, std::optional<double> Marks::*field) {
  std::vector<double> values;
  for (const auto& marks : runs) {
    if (marks.*field) {
      values.push_back(*(marks.*field));
    }
  }
  return values;
}

std::vector<double> peaks(const std::vector<Marks>& runs, std::optional<long> Marks::*field) {
  std::vector<double> values;
  for (const auto& marks : runs) {
    if (marks.*field && *(marks.*field) > 0) {
      values.push_back(static_cast<double>(*(marks.*field)) / 1024.0);
    }
  }
  return values;
}

std::vector<double> webProcessCounts(const std::vector<Marks>& runs) {
  std::vector<double> values;
  for (const auto& marks : runs) {
    values.push_back(marks.webProcesses);
  }
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 8;
  tarnwick::testsupport::VirtualDisplay display;
  if (!display.ready()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  TemporaryFolder scratch("tarnwick-launch-bench-bus");
  Process::Options busOptions;
  busOptions.stdoutFile = scratch.path() / "address";
  Process busDaemon("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address"},
                    busOptions);
  std::string bus;
  tarnwick::testsupport::waitUntil(
      [&] {
        bus = tarnwick::testsupport::readFile(scratch.path() / "address");
        return bus.find('\n') != std::string::npos;
      },
      5s);
  bus = bus.substr(0, bus.find('\n'));

  Recorder recorder;
  httplib::Server server;
  serve(server, recorder);
  if (!server.bind_to_port("127.0.0.1", 8766)) {
    std::fprintf(stderr, "127.0.0.1:8766 is taken: stop the Connector first\n");
    return 1;
  }
  std::thread serving([&] { server.listen_after_bind(); });
  WindowWatcher watcher(display.name(), recorder);

  const std::string shell = argc > 2 ? argv[2] : TARNWICK_APP_EXECUTABLE;
  const std::string bare = TARNWICK_BARE_WINDOW;
  std::vector<Marks> shellRuns, bareRuns;
  int failures = 0;
  // One unmeasured launch of each first, so both start from a warm page cache.
  launch(shell, display.name(), bus, recorder);
  launch(bare, display.name(), bus, recorder);
  for (int run = 0; run < runs; ++run) {
    for (auto [executable, results] :
         {std::pair{&shell, &shellRuns}, std::pair{&bare, &bareRuns}}) {
      if (auto marks = launch(*executable, display.name(), bus, recorder)) {
        results->push_back(*marks);
      } else {
        ++failures;
      }
    }
  }
  server.stop();
  serving.join();

  std::printf("launch to interface `load`, %d alternating runs each, display %s, %d failed\n", runs,
              display.name().c_str(), failures);
  auto print = [](const char* label, const Spread& value, const char* unit) {
    if (value.count == 0) {
      std::printf("  %-44s not seen in any run\n", label);
      return;
    }
    std::printf("  %-44s median %8.1f %s  (%.1f to %.1f, %zu runs)\n", label, value.median, unit,
                value.low, value.high, value.count);
  };
  auto shellLoad = spread(pick(shellRuns, &Marks::loaded));
  auto bareLoad = spread(pick(bareRuns, &Marks::loaded));
  auto shellPeak = spread(peaks(shellRuns, &Marks::peakKiB));
  auto barePeak = spread(peaks(bareRuns, &Marks::peakKiB));
  auto shellWebPeak = spread(peaks(shellRuns, &Marks::webPeakKiB));
  auto bareWebPeak = spread(peaks(bareRuns, &Marks::webPeakKiB));
  print("shell: start -> load", shellLoad, "ms");
  print("bare window: start -> load", bareLoad, "ms");
  print("shell: peak resident memory (VmHWM)", shellPeak, "MiB");
  print("bare window: peak resident memory (VmHWM)", barePeak, "MiB");
  print("shell: web processes' peak memory (summed)", shellWebPeak, "MiB");
  print("bare window: web processes' peak (summed)", bareWebPeak, "MiB");
  print("shell: web processes alive", spread(webProcessCounts(shellRuns)), "");
  print("bare window: web processes alive", spread(webProcessCounts(bareRuns)), "");
  if (bareLoad.median > 0 && barePeak.median > 0 && bareWebPeak.median > 0) {
    std::printf("ratio shell / bare window: time %.3f, UI memory %.3f, web memory %.3f\n",
                shellLoad.median / bareLoad.median, shellPeak.median / barePeak.median,
                shellWebPeak.median / bareWebPeak.median);
  }
  std::printf("shell breakdown (median ms after start):\n");
  print("window mapped", spread(pick(shellRuns, &Marks::mapped)), "ms");
  print("status page on screen", spread(pick(shellRuns, &Marks::statusShown)), "ms");
  print("health answered", spread(pick(shellRuns, &Marks::healthAnswered)), "ms");
  print("interface requested", spread(pick(shellRuns, &Marks::interfaceRequested)), "ms");
  print("interface load event", shellLoad, "ms");
  print("bare window: window mapped", spread(pick(bareRuns, &Marks::mapped)), "ms");
  print("bare window: interface requested", spread(pick(bareRuns, &Marks::interfaceRequested)),
        "ms");
  return failures == 0 ? 0 : 1;
}
