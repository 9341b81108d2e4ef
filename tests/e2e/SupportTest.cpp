// Support-control commands of the real executable: on the command line without a display, and on
// a private X server whose input a small X client records.
#include <gtest/gtest.h>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

const std::string ok = "TARNWICK_CONTROL_OK\n", denied = "TARNWICK_CONTROL_DENIED\n";
const std::vector<std::string> noSession = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME",
                                            "XDG_RUNTIME_DIR"};

TEST(Support, ACommandRunsBeforeTheLockWithX11AloneAndEvenOutsideTheBundle) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
  };
  for (const auto& [arguments, status] :
       std::vector<Case>{{{"--tarnwick-support-type", ""}, 0},
                         {{"--tarnwick-support-status"}, 2},
                         {{"--tarnwick-support-screen-status"}, 3},
                         {{"--tarnwick-support-key", "36"}, 4}}) {
    SCOPED_TRACE(arguments[0]);
    TemporaryFolder home("tarnwick-support-home"), loader("tarnwick-support-loader");
    auto result = runCommand(app.string(), arguments,
                             {.environment = {{"HOME", home.path().string()},
                                              {"LD_DEBUG", "files"},
                                              {"LD_DEBUG_OUTPUT", (loader.path() / "ld").string()}},
                              .unset = noSession},
                             30s);
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

  // Without its bundle the executable still answers commands; the normal start says why not.
  TemporaryFolder home("tarnwick-support-home"), scratch("tarnwick-no-bundle");
  fs::copy_file(app, scratch.path() / "Tarnwick");
  Process::Options options{.environment = {{"HOME", home.path().string()}},
                           .unset = noSession,
                           .stderrFile = scratch.path() / "errors"};
  EXPECT_EQ(runCommand((scratch.path() / "Tarnwick").string(), {"--tarnwick-support-type", ""},
                       options, 30s)
                .output,
            ok);
  auto start = runCommand((scratch.path() / "Tarnwick").string(), {}, options, 30s);
  EXPECT_EQ(start.status, 1);
  EXPECT_NE(readFile(scratch.path() / "errors").find("inside its bundle"), std::string::npos);
  EXPECT_FALSE(fs::exists(home.path() / ".local")) << "the lock was taken";
}

// The recorder's lines (see the probe), from a window over the whole screen.
class Recorder {
 public:
  Recorder(const std::string& display, const fs::path& output,
           const std::vector<std::string>& arguments)
      : output_(output),
        process_(TARNWICK_INPUT_RECORDER, arguments,
                 {.environment = {{"DISPLAY", display}}, .stdoutFile = output}) {}
  std::size_t count(const std::string& prefix) const {
    auto lines = linesOf(readFile(output_));
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& line) { return line.starts_with(prefix); }));
  }
  bool waitFor(const std::string& line, Clock::duration timeout = 5s) const {
    return waitUntil([&] { return count(line) > 0; }, timeout);
  }
  std::string text() const {  // every "text" line's bytes, in order
    std::string bytes;
    for (const auto& line : linesOf(readFile(output_))) {
      for (std::size_t at = 5; line.starts_with("text ") && at + 1 < line.size(); at += 2) {
        bytes += static_cast<char>(std::stoi(line.substr(at, 2), nullptr, 16));
      }
    }
    return bytes;
  }

 private:
  fs::path output_;
  Process process_;
};

TEST(Support, CommandsDriveTheXServerAndGiveItsKeyboardBack) {
  VirtualDisplay display(1024, 700);
  ASSERT_TRUE(display.ready());
  TemporaryFolder folder("tarnwick-support");
  Screen screen(display.name());
  auto support = [&](const std::vector<std::string>& arguments) {
    return runCommand(
        app.string(), arguments,
        {.environment = {{"DISPLAY", display.name()}, {"HOME", folder.path().string()}},
         .unset = {"WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}},
        30s);
  };
  for (const char* command :
       {"--tarnwick-support-accessibility-status", "--tarnwick-support-accessibility-request",
        "--tarnwick-support-screen-status", "--tarnwick-support-screen-request"}) {
    EXPECT_EQ(support({command}).output, ok) << command;
  }

  // The recorder reads its first key 600 ms late, after the command has typed everything and
  // rebound its spare keys: the text arrives intact all the same. 45 UTF-16 code units; the
  // emoji's two sit across the first chunk's end.
  Recorder recorder(display.name(), folder.path() / "keys", {"--busy", "600"});
  ASSERT_TRUE(recorder.waitFor("ready", 10s));
  const auto keyboard = screen.keyboard();
  const std::string text = "Grüße → Zoë! a (x) 😀 € … ok QWERTY-xyz #42;.";
  EXPECT_EQ(support({"--tarnwick-support-type", text}).output, ok);
  EXPECT_TRUE(waitUntil([&] { return recorder.text() == text; }, 5s)) << recorder.text();
  EXPECT_EQ(screen.keyboard(), keyboard);
  // Keys arrive as their keysyms without modifiers; the keypad's digits need a spare key.
  for (const auto& [code, line] : std::vector<std::pair<std::string, std::string>>{
           {"36", "key Return 0"}, {"0", "key a 0"}, {"122", "key F1 0"}, {"83", "key KP_1 0"}}) {
    EXPECT_EQ(support({"--tarnwick-support-key", code}).output, ok) << code;
    EXPECT_TRUE(recorder.waitFor(line)) << code;
  }
  EXPECT_EQ(screen.keyboard(), keyboard) << "the spare key was not given back";
  EXPECT_EQ(support({"--tarnwick-support-key", "200"}).status, 4);

  // A click is one press and release at the point, whatever the count; a scroll one wheel step.
  EXPECT_EQ(support({"--tarnwick-support-click", "10.5", "20", "middle", "1"}).output, ok);
  EXPECT_TRUE(recorder.waitFor("release 1 10 20"));
  EXPECT_EQ(support({"--tarnwick-support-click", "300", "400.9", "right", "2"}).output, ok);
  EXPECT_TRUE(recorder.waitFor("release 3 300 400"));
  EXPECT_EQ(recorder.count("press "), 2U);
  for (const char* lines : {"1", "-1", "0"}) {
    EXPECT_EQ(support({"--tarnwick-support-scroll", lines}).output, ok) << lines;
  }
  EXPECT_EQ(support({"--tarnwick-support-key", "49"}).output, ok);  // a marker after the scrolls
  EXPECT_TRUE(recorder.waitFor("key space 0"));
  EXPECT_EQ(recorder.count("press 4 300 400"), 1U);
  EXPECT_EQ(recorder.count("press 5 300 400"), 1U);

  // Typing into an application of the allow-list brings it forward with a new document first.
  Recorder notes(display.name(), folder.path() / "notes", {"--class", "Notes", "--unfocused"});
  ASSERT_TRUE(notes.waitFor("ready", 10s));
  const auto keys = recorder.count("key ");
  EXPECT_EQ(support({"--tarnwick-support-type-text", "com.apple.Notes", "Hi"}).output, ok);
  EXPECT_TRUE(notes.waitFor("key n 4"));
  EXPECT_TRUE(waitUntil([&] { return notes.text() == "Hi"; }, 5s)) << notes.text();
  EXPECT_TRUE(notes.waitFor("focus"));
  EXPECT_EQ(recorder.count("key "), keys);
  EXPECT_EQ(support({"--tarnwick-support-type-text", "com.apple.Safari", "no"}).output, denied);

  // A snapshot is a JPEG of the whole screen, whatever the file's name says.
  for (const char* name : {"shot.jpg", "shot.png"}) {
    auto path = folder.path() / name;
    EXPECT_EQ(support({"--tarnwick-support-snapshot", path.string()}).output, ok) << name;
    EXPECT_EQ(runCommand("/usr/bin/identify", {"-format", "%m %w %h", path.string()}).output,
              "JPEG 1024 700")
        << name;
  }
  auto missing = folder.path() / "missing" / "shot.jpg";
  EXPECT_EQ(support({"--tarnwick-support-snapshot", missing.string()}).status, 4);
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

}  // namespace
}  // namespace tarnwick::e2e
