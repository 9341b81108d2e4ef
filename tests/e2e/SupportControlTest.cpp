// Support-control commands of the real executable on a private X server, received by a small X
// client that records what reaches it.
#include <gtest/gtest.h>

#include <iterator>

#include "Harness.h"
#include "KeyboardMapping.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

// The recorder's window covers the screen and has the focus unless told otherwise.
class Recorder {
 public:
  Recorder(const std::string& display, const fs::path& folder, const std::string& name,
           std::vector<std::string> arguments = {})
      : output_(folder / (name + ".txt")),
        process_(TARNWICK_INPUT_RECORDER, arguments, options(display, output_)) {}

  bool ready() {
    return waitUntil([this] { return contains("ready"); }, 10s);
  }
  std::vector<std::string> lines() const { return linesOf(readFile(output_)); }
  bool contains(const std::string& line) const {
    auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  bool waitFor(const std::string& line, Clock::duration timeout = 5s) {
    return waitUntil([&] { return contains(line); }, timeout);
  }
  // Every "text" line's bytes, in order.
  std::string text() const {
    std::string bytes;
    for (const auto& line : lines()) {
      if (line.starts_with("text ")) {
        for (std::size_t index = 5; index + 1 < line.size(); index += 2) {
          bytes += static_cast<char>(std::stoi(line.substr(index, 2), nullptr, 16));
        }
      }
    }
    return bytes;
  }
  std::size_t count(const std::string& prefix) const {
    auto all = lines();
    return static_cast<std::size_t>(std::count_if(
        all.begin(), all.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
  }

 private:
  static Process::Options options(const std::string& display, const fs::path& output) {
    Process::Options result;
    result.environment["DISPLAY"] = display;
    result.stdoutFile = output;
    return result;
  }
  fs::path output_;
  Process process_;
};

class SupportControl : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(display.ready()); }

  CommandResult support(const std::vector<std::string>& arguments) {
    Process::Options options;
    options.environment = {{"DISPLAY", display.name()}, {"HOME", home.path().string()}};
    options.unset = {"WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"};
    return runCommand(appExecutable().string(), arguments, options, 30s);
  }

  VirtualDisplay display;
  TemporaryFolder home{"tarnwick-support-home"};
  TemporaryFolder folder{"tarnwick-support"};
};

const std::string ok = "TARNWICK_CONTROL_OK\n";
const std::string denied = "TARNWICK_CONTROL_DENIED\n";

TEST_F(SupportControl, PermissionsAreGrantedOnAnXServerWithXTest) {
  for (const char* command :
       {"--tarnwick-support-accessibility-status", "--tarnwick-support-accessibility-request",
        "--tarnwick-support-screen-status", "--tarnwick-support-screen-request"}) {
    auto result = support({command, "ignored", "--tarnwick-support-key"});
    EXPECT_EQ(result.status, 0) << command;
    EXPECT_EQ(result.output, ok) << command;
  }
}

TEST_F(SupportControl, KeysArriveAsTheirKeysymsWithoutModifiers) {
  Recorder recorder(display.name(), folder.path(), "keys");
  ASSERT_TRUE(recorder.ready());
  auto mappingBefore = keyboardMapping(display.name());
  auto result = support({"--tarnwick-support-key", "36"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, ok);
  EXPECT_TRUE(recorder.waitFor("key Return 0")) << ::testing::PrintToString(recorder.lines());
  for (auto [code, line] : std::vector<std::pair<const char*, const char*>>{{"0", "key a 0"},
                                                                            {"53", "key Escape 0"},
                                                                            {"24", "key equal 0"},
                                                                            {"122", "key F1 0"},
                                                                            {"126", "key Up 0"},
                                                                            {"83", "key KP_1 0"}}) {
    EXPECT_EQ(support({"--tarnwick-support-key", code}).status, 0) << code;
    EXPECT_TRUE(recorder.waitFor(line)) << code << ::testing::PrintToString(recorder.lines());
  }
  // The keypad's digits are on no key of their own here: a spare one carried KP_1, and is free
  // again.
  EXPECT_EQ(keyboardMapping(display.name()), mappingBefore);
  // A code that names no key cannot be posted.
  auto unknown = support({"--tarnwick-support-key", "200"});
  EXPECT_EQ(unknown.status, 4);
  EXPECT_EQ(unknown.output, denied);
}

TEST_F(SupportControl, AClickIsALeftPressAndReleaseAtThePoint) {
  Recorder recorder(display.name(), folder.path(), "clicks");
  ASSERT_TRUE(recorder.ready());
  auto result = support({"--tarnwick-support-click", "10.5", "20", "middle", "1"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, ok);
  EXPECT_TRUE(recorder.waitFor("release 1 10 20"));
  EXPECT_TRUE(recorder.contains("press 1 10 20"));

  EXPECT_EQ(support({"--tarnwick-support-click", "300", "400.9", "right", "2"}).status, 0);
  EXPECT_TRUE(recorder.waitFor("release 3 300 400"));
  EXPECT_TRUE(recorder.contains("press 3 300 400"));
  // One pair each, whatever the count.
  EXPECT_EQ(recorder.count("press "), 2U);
  EXPECT_EQ(recorder.count("release "), 2U);
}

TEST_F(SupportControl, AScrollIsOneWheelStepEachWay) {
  Recorder recorder(display.name(), folder.path(), "wheel");
  ASSERT_TRUE(recorder.ready());
  EXPECT_EQ(support({"--tarnwick-support-click", "50", "60", "left", "1"}).status, 0);
  EXPECT_TRUE(recorder.waitFor("release 1 50 60"));
  EXPECT_EQ(support({"--tarnwick-support-scroll", "1"}).output, ok);
  EXPECT_TRUE(recorder.waitFor("release 4 50 60"));
  EXPECT_EQ(support({"--tarnwick-support-scroll", "-1"}).output, ok);
  EXPECT_TRUE(recorder.waitFor("release 5 50 60"));
  EXPECT_EQ(support({"--tarnwick-support-scroll", "0"}).output, ok);
  EXPECT_EQ(support({"--tarnwick-support-scroll", "2147483648"}).status, 2);
  EXPECT_EQ(support({"--tarnwick-support-key", "49"}).status, 0);  // a marker after the scrolls
  EXPECT_TRUE(recorder.waitFor("key space 0"));
  EXPECT_EQ(recorder.count("press 4 "), 1U);
  EXPECT_EQ(recorder.count("press 5 "), 1U);
}

// Characters typed through freshly bound spare keycodes must not be lost, even when the receiving
// client reads its keys late, after the command has rebound those keycodes for the next chunk.
TEST_F(SupportControl, TypedTextArrivesIntactAndTheKeyboardIsGivenBack) {
  // 45 UTF-16 code units; the emoji's two sit across the first chunk boundary.
  const std::string text = "Grüße → Zoë! a (x) 😀 € … ok QWERTY-xyz #42;.";
  // A client held up for longer than any fixed wait reads its keys after the command has
  // finished typing: the temporary key bindings must still be there when it does.
  for (const char* busy : {"0", "600"}) {
    SCOPED_TRACE(std::string("busy for ") + busy + " ms");
    Recorder recorder(display.name(), folder.path(), std::string("text-") + busy, {"--busy", busy});
    ASSERT_TRUE(recorder.ready());
    auto mappingBefore = keyboardMapping(display.name());
    ASSERT_FALSE(mappingBefore.empty());
    auto result = support({"--tarnwick-support-type", text});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, ok);
    EXPECT_TRUE(waitUntil([&] { return recorder.text() == text; }, 5s))
        << "received: " << recorder.text();
    EXPECT_EQ(keyboardMapping(display.name()), mappingBefore);
  }

  auto empty = support({"--tarnwick-support-type", ""});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.output, ok);
}

TEST_F(SupportControl, TypeTextBringsTheApplicationForwardAndOpensANewDocument) {
  Recorder other(display.name(), folder.path(), "other");
  ASSERT_TRUE(other.ready());
  Recorder notes(display.name(), folder.path(), "notes", {"--class", "Notes", "--unfocused"});
  ASSERT_TRUE(notes.ready());
  auto result = support({"--tarnwick-support-type-text", "com.apple.Notes", "Hi"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, ok);
  EXPECT_TRUE(notes.waitFor("key n 4")) << ::testing::PrintToString(notes.lines());
  EXPECT_TRUE(waitUntil([&] { return notes.text() == "Hi"; }, 5s)) << notes.text();
  EXPECT_TRUE(notes.contains("focus"));
  EXPECT_EQ(other.count("key "), 0U);

  // Not on the allow-list: refused before anything happens.
  auto refused = support({"--tarnwick-support-type-text", "com.apple.Safari", "no"});
  EXPECT_EQ(refused.status, 4);
  EXPECT_EQ(refused.output, denied);
}

// Width and height from the first start-of-frame marker.
std::optional<std::pair<int, int>> jpegSize(const std::string& data) {
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(data[at]); };
  if (data.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) {
    return std::nullopt;
  }
  std::size_t at = 2;
  while (at + 9 < data.size() && byte(at) == 0xFF) {
    unsigned char marker = byte(at + 1);
    std::size_t length = static_cast<std::size_t>(byte(at + 2) << 8 | byte(at + 3));
    if (marker >= 0xC0 && marker <= 0xC3) {
      return std::pair{byte(at + 7) << 8 | byte(at + 8), byte(at + 5) << 8 | byte(at + 6)};
    }
    at += 2 + length;
  }
  return std::nullopt;
}

TEST_F(SupportControl, ASnapshotIsAJPEGOfTheWholeScreenWhateverTheName) {
  for (const char* name : {"shot.jpg", "shot.png"}) {
    auto path = folder.path() / name;
    auto result = support({"--tarnwick-support-snapshot", path.string()});
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_EQ(result.output, ok) << name;
    auto data = readFile(path);
    EXPECT_TRUE(data.ends_with("\xFF\xD9")) << name;
    EXPECT_EQ(jpegSize(data), (std::pair{display.width(), display.height()})) << name;
  }
  auto missing = folder.path() / "missing" / "shot.jpg";
  auto result = support({"--tarnwick-support-snapshot", missing.string()});
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.output, denied);
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

TEST(SupportControlScreens, ASnapshotFollowsTheScreenSize) {
  VirtualDisplay display(640, 480);
  ASSERT_TRUE(display.ready());
  TemporaryFolder folder("tarnwick-support");
  Process::Options options;
  options.environment["DISPLAY"] = display.name();
  auto path = folder.path() / "small.jpeg";
  auto result = runCommand(appExecutable().string(), {"--tarnwick-support-snapshot", path.string()},
                           options, 30s);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(jpegSize(readFile(path)), (std::pair{640, 480}));
}

}  // namespace
}  // namespace tarnwick::e2e
