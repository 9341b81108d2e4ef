// Support-control commands: without a display, and on an X server whose input a client records.
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <mutex>
#include <thread>

#include "E2e.h"
// After gtest's headers, which X11's macros would break.
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on

namespace tarnwick::e2e {
namespace {

const std::string ok = "TARNWICK_CONTROL_OK\n", denied = "TARNWICK_CONTROL_DENIED\n";
const Lines noSession = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"};

TEST(Support, ACommandRunsBeforeTheLockWithX11AloneEvenOutsideTheBundle) {
  for (const auto& [arguments, status] :
       std::vector<std::pair<Lines, int>>{{{"--tarnwick-support-type", ""}, 0},
                                          {{"--tarnwick-support-status"}, 2},
                                          {{"--tarnwick-support-screen-status"}, 3},
                                          {{"--tarnwick-support-key", "36"}, 4}}) {
    SCOPED_TRACE(arguments[0]);
    TemporaryFolder home("tarnwick-support-home"), loader("tarnwick-support-loader");
    auto result = runCommand(app.string(), arguments,
                             {.environment = {{"HOME", home.path().string()},
                                              {"LD_DEBUG", "files"},
                                              {"LD_DEBUG_OUTPUT", (loader.path() / "ld").string()}},
                              .unset = noSession});
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.output, status == 0 ? ok : denied);
    EXPECT_FALSE(fs::exists(home.path() / ".local")) << "the lock was touched";
    std::string loaded;
    for (const auto& entry : fs::directory_iterator(loader.path())) {
      loaded += readFile(entry.path());
    }
    EXPECT_NE(loaded.find("libX11.so"), std::string::npos);
    EXPECT_EQ(loaded.find("libgtk-3.so"), std::string::npos);
    EXPECT_EQ(loaded.find("libwebkit2gtk"), std::string::npos);
  }

  // Outside its bundle the executable still answers commands; the normal start fails.
  TemporaryFolder scratch("tarnwick-no-bundle");
  fs::copy_file(app, scratch.path() / "Tarnwick");
  const Process::Options options{.environment = {{"HOME", scratch.path().string()}},
                                 .unset = noSession};
  EXPECT_EQ(
      runCommand(scratch.path() / "Tarnwick", {"--tarnwick-support-type", ""}, options).output, ok);
  EXPECT_EQ(runCommand(scratch.path() / "Tarnwick", {}, options).status, 1);
}

// A full-screen window of class `name` noting "ready", "key <keysym> <1 Shift|4 Control|8 Alt>",
// "press|release <button> <x> <y>" and its keys' text; like a toolkit's client it loads the keymap
// at start and answers pings; `busy` holds it up before its first key.
class Recorder {
 public:
  Recorder(const std::string& display, std::string name, bool focused, Clock::duration busy = {})
      : thread_([=, this] { run(display, name, focused, busy); }) {}
  ~Recorder() {
    stop_ = true;
    thread_.join();
  }
  std::size_t count(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const auto& line) { return line.starts_with(prefix); }));
  }
  bool waitFor(const std::string& line) {
    return waitUntil([&] { return count(line) > 0; }, 10s);
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  void run(const std::string& where, std::string windowClass, bool focused, Clock::duration busy) {
    std::setlocale(LC_CTYPE, "C.UTF-8");  // UTF-8 text needs a UTF-8 locale and input context
    XSetLocaleModifiers("@im=none");
    Display* display = XOpenDisplay(where.c_str());
    ::Window root = DefaultRootWindow(display);
    ::Window window = XCreateSimpleWindow(display, root, 0, 0, 2000, 2000, 0, 0, 0xffffff);
    XClassHint hint{windowClass.data(), windowClass.data()};
    XSetClassHint(display, window, &hint);
    XSelectInput(display, window,
                 KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    Atom ping = XInternAtom(display, "_NET_WM_PING", False);
    XSetWMProtocols(display, window, &ping, 1);
    XKeysymToKeycode(display, 'a');
    XIC context = XCreateIC(XOpenIM(display, nullptr, nullptr, nullptr), XNInputStyle,
                            XIMPreeditNothing | XIMStatusNothing, XNClientWindow, window, nullptr);
    XMapWindow(display, window);
    for (XEvent event; !stop_;) {
      if (!XPending(display)) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      XNextEvent(display, &event);
      std::string line, typed(64, '\0');
      if (event.type == MapNotify) {
        line = "ready";
        if (focused) {
          XSetInputFocus(display, window, RevertToParent, CurrentTime);
        }
      } else if (event.type == ClientMessage && Atom(event.xclient.data.l[0]) == ping) {
        event.xclient.window = root;
        XSendEvent(display, root, False, SubstructureNotifyMask | SubstructureRedirectMask, &event);
      } else if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
      } else if (event.type == KeyPress) {
        std::this_thread::sleep_for(std::exchange(busy, Clock::duration()));
        KeySym keysym = NoSymbol;
        Status status;
        typed.resize(static_cast<std::size_t>(
            Xutf8LookupString(context, &event.xkey, typed.data(), 64, &keysym, &status)));
        const char* symbol = XKeysymToString(keysym);
        line = "key " + std::string(symbol ? symbol : "NoSymbol") + " " +
               std::to_string(event.xkey.state & (ShiftMask | ControlMask | Mod1Mask));
      } else if (event.type == ButtonPress || event.type == ButtonRelease) {
        line = (event.type == ButtonPress ? "press " : "release ") +
               std::to_string(event.xbutton.button) + " " + std::to_string(event.xbutton.x_root) +
               " " + std::to_string(event.xbutton.y_root);
      }
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      text_ += event.type == KeyPress && !(event.xkey.state & ControlMask) ? typed : "";
    }
    XCloseDisplay(display);
  }

  std::mutex mutex_;
  Lines lines_;
  std::string text_;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

TEST(Support, CommandsDriveTheXServerAndGiveItsKeyboardBack) {
  VirtualDisplay display(1024, 700);
  ASSERT_TRUE(display.ready());
  TemporaryFolder folder("tarnwick-support");
  auto support = [&](const Lines& arguments) {
    return runCommand(
        app.string(), arguments,
        {.environment = {{"DISPLAY", display.name()}, {"HOME", folder.path().string()}},
         .unset = {"WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}});
  };
  EXPECT_EQ(support({"--tarnwick-support-screen-status"}).output, ok);

  // Read 600 ms late, after the spare keys were rebound, the text arrives intact; 45 UTF-16 code
  // units, the emoji's two across the first chunk's end.
  Recorder recorder(display.name(), "InputRecorder", true, 600ms);
  ASSERT_TRUE(recorder.waitFor("ready"));
  auto keymap = [&] {
    return runCommand("/usr/bin/xkbcomp", {"-xkb", display.name(), "-"}).output;
  };
  const auto keyboard = keymap();
  ASSERT_NE(keyboard.find("xkb_symbols"), std::string::npos);
  const std::string text = "Grüße → Zoë! a (x) 😀 € … ok QWERTY-xyz #42;.";
  EXPECT_EQ(support({"--tarnwick-support-type", text}).output, ok);
  EXPECT_TRUE(waitUntil([&] { return recorder.text() == text; }, 5s)) << recorder.text();
  // Keys arrive as their keysyms without modifiers; the keypad's digits need a spare key.
  for (const auto& [code, line] : std::vector<std::pair<std::string, std::string>>{
           {"36", "key Return 0"}, {"0", "key a 0"}, {"122", "key F1 0"}, {"83", "key KP_1 0"}}) {
    EXPECT_EQ(support({"--tarnwick-support-key", code}).output, ok) << code;
    EXPECT_TRUE(recorder.waitFor(line)) << code;
  }
  EXPECT_TRUE(keymap() == keyboard) << "the spare keys were not given back";
  EXPECT_EQ(support({"--tarnwick-support-key", "200"}).status, 4);

  // A click is one press and release at the point, whatever the count; a scroll one wheel step.
  EXPECT_EQ(support({"--tarnwick-support-click", "10.5", "20", "middle", "1"}).output, ok);
  EXPECT_TRUE(recorder.waitFor("release 1 10 20"));
  EXPECT_EQ(support({"--tarnwick-support-click", "300", "400.9", "right", "2"}).output, ok);
  EXPECT_TRUE(recorder.waitFor("release 3 300 400"));
  EXPECT_EQ(recorder.count("press "), 2U);
  for (const char* lines : {"0", "1", "-1"}) {
    EXPECT_EQ(support({"--tarnwick-support-scroll", lines}).output, ok) << lines;
  }
  EXPECT_TRUE(recorder.waitFor("release 5 300 400"));
  EXPECT_EQ(std::pair(recorder.count("press 4 300 400"), recorder.count("press 5 ")),
            std::pair(1UL, 1UL));

  // Typing into an application of the allow-list brings it forward with a new document first.
  Recorder notes(display.name(), "Notes", false);
  ASSERT_TRUE(notes.waitFor("ready"));
  const auto keys = recorder.count("key ");
  EXPECT_EQ(support({"--tarnwick-support-type-text", "com.apple.Notes", "Hi"}).output, ok);
  EXPECT_TRUE(notes.waitFor("key n 4"));
  EXPECT_TRUE(waitUntil([&] { return notes.text() == "Hi"; }, 5s)) << notes.text();
  EXPECT_EQ(recorder.count("key "), keys);

  // A snapshot is a JPEG of the whole screen, whatever the file's name says.
  for (const char* name : {"shot.jpg", "shot.png"}) {
    auto path = (folder.path() / name).string();
    EXPECT_EQ(support({"--tarnwick-support-snapshot", path}).output, ok) << name;
    EXPECT_EQ(runCommand("/usr/bin/identify", {"-format", "%m %w %h", path}).output,
              "JPEG 1024 700");
  }
  auto missing = folder.path() / "missing" / "shot.jpg";
  EXPECT_EQ(support({"--tarnwick-support-snapshot", missing.string()}).status, 4);
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

}  // namespace
}  // namespace tarnwick::e2e
