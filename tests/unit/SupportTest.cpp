// The support-control command line and its actions on fake devices, and the activation channel's
// request between two copies of the application.
#include <sys/socket.h>
#include <sys/stat.h>

#include "Shell.h"
#include "app/TarnwickVisibleInstance.h"
#include "support/TarnwickSupportControl.h"

namespace tarnwick::support {
namespace {

using Control = TarnwickSupportControl;
using fakes::FakeSupportDevices;
using testing_support::readAll;
using testing_support::TemporaryTree;
namespace fs = std::filesystem;

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += (text.empty() ? "" : ";") + line;
  }
  return text;
}

TEST(SupportControl, RecognisesTheCommandAndItsOperandsBeforeTouchingAnyDevice) {
  struct Row {
    const char* arguments;  // after the executable, separated by "|"
    std::optional<std::int32_t> result;
    const char* events;
  };
  for (const auto& row : std::vector<Row>{
           {"", {}, ""},
           {"--help", {}, ""},
           {"tarnwick://plaid-complete", {}, ""},
           {"-tarnwick-support-key|36", {}, ""},
           {"--help|--tarnwick-support-key|36", {}, ""},
           {"--tarnwick-support-", 2, ""},
           {"--tarnwick-support-status", 2, ""},
           {"--tarnwick-support-Key|36", 2, ""},
           {"--tarnwick-support-key36", 2, ""},
           {"--tarnwick-support-key |36", 2, ""},
           {"--tarnwick-support-type-type|x", 2, ""},
           {"--tarnwick-support-snapshot", 2, ""},
           {"--tarnwick-support-snapshot|/tmp/a|/tmp/b", 2, ""},
           {"--tarnwick-support-type-text|com.apple.Notes", 2, ""},
           {"--tarnwick-support-type", 2, ""},
           {"--tarnwick-support-type|a|b", 2, ""},
           {"--tarnwick-support-key", 2, ""},
           {"--tarnwick-support-key|36|36", 2, ""},
           {"--tarnwick-support-click|10|20|left", 2, ""},
           {"--tarnwick-support-click|10|20|left|1|1", 2, ""},
           {"--tarnwick-support-scroll", 2, ""},
           {"--tarnwick-support-key|36", 0, "key 36 flags 0"},
           {"--tarnwick-support-key|65535", 0, "key 65535 flags 0"},
           {"--tarnwick-support-key|+36", 0, "key 36 flags 0"},
           {"--tarnwick-support-key|0036", 0, "key 36 flags 0"},
           {"--tarnwick-support-key|65536", 2, ""},
           {"--tarnwick-support-key|65572", 2, ""},
           {"--tarnwick-support-key|-1", 2, ""},
           {"--tarnwick-support-key|abc", 2, ""},
           {"--tarnwick-support-key| 36", 2, ""},
           {"--tarnwick-support-key|36 ", 2, ""},
           {"--tarnwick-support-key|36abc", 2, ""},
           {"--tarnwick-support-key|0x24", 2, ""},
           {"--tarnwick-support-key|36.0", 2, ""},
           {"--tarnwick-support-key|", 2, ""},
           {"--tarnwick-support-click|10.5|20|middle|1", 0, "click 10.5 20 left 1"},
           {"--tarnwick-support-click|-4|+2.5e1|right|2", 0, "click -4 25 right 2"},
           {"--tarnwick-support-click|1|2|left|9223372036854775808", 2, ""},
           {"--tarnwick-support-click|1|2|left|-9223372036854775808", 0, "click 1 2 left 1"},
           {"--tarnwick-support-click|ten|2|left|1", 2, ""},
           {"--tarnwick-support-click|nan|2|left|1", 2, ""},
           {"--tarnwick-support-click|1|inf|left|1", 2, ""},
           {"--tarnwick-support-click|1|1e999|left|1", 2, ""},
           {"--tarnwick-support-click|0x10|2|left|1", 2, ""},
           {"--tarnwick-support-click|1|2|left|1.0", 2, ""},
           {"--tarnwick-support-scroll|2147483648", 2, ""},
           {"--tarnwick-support-scroll|-2147483649", 2, ""},
           {"--tarnwick-support-scroll|-2147483648", 0, "scroll -2147483648"},
           {"--tarnwick-support-scroll|+3", 0, "scroll 3"},
           {"--tarnwick-support-scroll|-", 2, ""},
           {"--tarnwick-support-type|", 0, ""},
           {"--tarnwick-support-type|hello", 0, "text 5"},
           {"--tarnwick-support-type-text|com.apple.Safari|hello", 4, ""},
           {"--tarnwick-support-type-text|com.apple.TextEdit|hi \xc3\xa9", 0,
            "activate com.apple.TextEdit;key 45 flags 1048576;text 4"}}) {
    std::vector<std::string> arguments{"/opt/Tarnwick.app/Contents/MacOS/Tarnwick"};
    for (std::string_view rest = row.arguments; !rest.empty();) {
      auto bar = rest.find('|');
      arguments.emplace_back(rest.substr(0, bar));
      if (bar == std::string_view::npos) {
        break;
      }
      rest = rest.substr(bar + 1);
      if (rest.empty()) {
        arguments.emplace_back();  // a trailing "|" ends in an empty operand
      }
    }
    FakeSupportDevices devices;
    EXPECT_EQ(Control::runIfRequested(arguments, devices), row.result) << row.arguments;
    EXPECT_EQ(joined(devices.events), row.events) << row.arguments;
    EXPECT_EQ(devices.opened, row.result == 0 || row.result == 4 ? 1 : 0) << row.arguments;
  }
}

TEST(SupportControl, PermissionsAreAskedAndAnsweredDoneOrNotGranted) {
  struct Row {
    std::vector<std::string> arguments;
    bool granted;
    std::int32_t result;
    const char* question;
  };
  for (const auto& [arguments, granted, result, question] : std::vector<Row>{
           {{"--tarnwick-support-accessibility-status"}, true, 0, "accessibility"},
           {{"--tarnwick-support-accessibility-status"}, false, 3, "accessibility"},
           {{"--tarnwick-support-accessibility-request"}, false, 3, "accessibility with prompt"},
           {{"--tarnwick-support-screen-status"}, true, 0, "screen capture"},
           {{"--tarnwick-support-screen-status", "extra", "--tarnwick-support-key"},
            false,
            3,
            "screen capture"},
           {{"--tarnwick-support-screen-request", "x"}, true, 0, "screen capture request"}}) {
    FakeSupportDevices devices;
    devices.granted = granted;
    auto line = arguments;
    line.insert(line.begin(), "t");
    EXPECT_EQ(Control::runIfRequested(line, devices), result) << arguments[0];
    EXPECT_EQ(devices.questions, std::vector<std::string>{question});
    EXPECT_TRUE(devices.events.empty());
  }
  FakeSupportDevices failing;
  failing.failAfter = 0;
  for (const char* command : {"--tarnwick-support-key", "--tarnwick-support-scroll"}) {
    EXPECT_EQ(Control::runIfRequested({"t", command, "1"}, failing), 4) << "an action that fails";
  }
  EXPECT_EQ(
      Control::runIfRequested({"t", "--tarnwick-support-click", "1", "1", "left", "1"}, failing),
      4);
  failing.image.reset();
  EXPECT_EQ(
      Control::runIfRequested({"t", "--tarnwick-support-snapshot", "/nonexistent/x"}, failing), 4);
}

TEST(SupportControl, TextGoesInChunksOfTwentyUnitsKeepingPairsWhole) {
  const std::u16string smile = u"\U0001F600";
  struct Row {
    std::u16string text;
    std::vector<std::size_t> sizes;
  };
  for (const auto& [text, sizes] : std::vector<Row>{
           {u"", {}},
           {u"a", {1}},
           {std::u16string(20, u'x'), {20}},
           {std::u16string(21, u'x'), {20, 1}},
           {std::u16string(45, u'x'), {20, 20, 5}},
           {std::u16string(19, u'a') + smile + u"b", {19, 3}},
           {std::u16string(18, u'a') + smile + u"b", {20, 1}},
           {smile + smile + smile + smile + smile + smile + smile + smile + smile + smile + smile,
            {20, 2}},
           {std::u16string(19, u'a') + u"\xD83D" + u"bc", {20, 2}}}) {
    FakeSupportDevices devices;
    EXPECT_TRUE(Control::postText(devices, text));
    std::vector<std::size_t> posted;
    std::u16string whole;
    for (const auto& chunk : devices.chunks) {
      posted.push_back(chunk.size());
      whole += chunk;
    }
    EXPECT_EQ(posted, sizes);
    EXPECT_EQ(whole, text);
  }
  FakeSupportDevices failing;
  failing.failAfter = 1;
  EXPECT_FALSE(Control::postText(failing, std::u16string(45, u'x')));
  EXPECT_EQ(failing.events, std::vector<std::string>{"text 20"}) << "the rest is abandoned";
}

TEST(SupportControl, TypingActivatesAnAllowedApplicationOpensADocumentAndTypesAfterItsPauses) {
  for (const char* refused : {"com.apple.Safari", "com.apple.textedit", "com.apple.TextEdit ", "",
                              "com.apple.Notes.extra"}) {
    FakeSupportDevices devices;
    EXPECT_FALSE(Control::typeText(devices.ports(), refused, u"hello")) << refused;
    EXPECT_TRUE(devices.sleeper.pauses.empty() && devices.events.empty()) << refused;
  }
  for (std::string allowed : {"com.apple.TextEdit", "com.apple.Notes"}) {
    FakeSupportDevices devices;  // not running: the keys go to whatever is in front
    EXPECT_TRUE(Control::typeText(devices.ports(), allowed, std::u16string(25, u'n')));
    EXPECT_EQ(joined(devices.events),
              "activate " + allowed + ";key 45 flags 1048576;text 20;text 5");
    EXPECT_EQ(devices.sleeper.pauses, (std::vector<double>{0.8, 0.25, 0.4}));
  }
  FakeSupportDevices failing;
  failing.failAfter = 0;
  EXPECT_FALSE(Control::typeText(failing.ports(), "com.apple.Notes", u"hello"));
  EXPECT_EQ(failing.events, std::vector<std::string>{"activate com.apple.Notes"});
  EXPECT_EQ(failing.sleeper.pauses, (std::vector<double>{0.8, 0.25}));
}

TEST(SupportControl, AClickIsOnePairWithTheRightButtonOnlyForRightAndAScrollOneEvent) {
  struct Row {
    const char* button;
    std::int64_t count;
    const char* event;
  };
  for (const auto& [button, count, event] :
       std::vector<Row>{{"right", 1, "click 10.5 20 right 1"},
                        {"Right", 1, "click 10.5 20 left 1"},
                        {"right ", 1, "click 10.5 20 left 1"},
                        {"middle", 1, "click 10.5 20 left 1"},
                        {"", 1, "click 10.5 20 left 1"},
                        {"left", 2, "click 10.5 20 left 2"},
                        {"right", 3, "click 10.5 20 right 2"},
                        {"left", INT64_MAX, "click 10.5 20 left 2"},
                        {"left", 0, "click 10.5 20 left 1"},
                        {"left", -5, "click 10.5 20 left 1"},
                        {"left", INT64_MIN, "click 10.5 20 left 1"}}) {
    FakeSupportDevices devices;
    EXPECT_TRUE(Control::click(devices, 10.5, 20, button, count));
    EXPECT_EQ(devices.events, std::vector<std::string>{event});
  }
  for (std::int32_t delta : {0, 1, -7, INT32_MIN}) {
    FakeSupportDevices devices;
    EXPECT_TRUE(Control::scroll(devices, delta));
    EXPECT_EQ(devices.events, std::vector<std::string>{"scroll " + std::to_string(delta)});
  }
}

TEST(SupportControl, ASnapshotIsJpegWrittenWholeWithTheUsualModeOrNothing) {
  TemporaryTree tree;
  FakeSupportDevices devices;
  auto take = [&](const fs::path& path) {
    return Control::snapshot(devices, devices, path.string());
  };
  devices.jpeg = std::vector<std::uint8_t>{0xFF, 0xD8, 'j', 0xFF, 0xD9};
  std::ofstream(tree.root / "shot.jpg") << "an older and much longer file than the new one";
  mode_t previous = ::umask(022);
  for (const char* name : {"shot.jpg", "shot.png", "shot"}) {
    EXPECT_TRUE(take(tree.root / name)) << name;
    EXPECT_EQ(readAll(tree.root / name), "\xFF\xD8j\xFF\xD9") << name;
  }
  ::umask(previous);
  EXPECT_EQ(devices.encoded, std::vector<std::string>(3, "2x1 at 0.720000"));
  EXPECT_EQ(fs::status(tree.root / "shot.png").permissions(), fs::perms(0644));
  fs::create_directory(tree.root / "taken");
  EXPECT_FALSE(take(tree.root / "missing/shot.jpg"));
  EXPECT_FALSE(take(tree.root / "taken"));
  EXPECT_FALSE(take(tree.root / "taken/"));
  EXPECT_FALSE(take(""));
  devices.jpeg = std::vector<std::uint8_t>{};
  EXPECT_FALSE(take(tree.root / "empty"));
  devices.jpeg.reset();
  EXPECT_FALSE(take(tree.root / "none"));
  devices.image.reset();
  EXPECT_FALSE(take(tree.root / "blank"));
  EXPECT_EQ(devices.encoded.size(), 9U) << "no image, nothing encoded";
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(tree.root)) {
    names.push_back(entry.path().filename().string());
  }
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::string>{"shot", "shot.jpg", "shot.png", "taken"}));
  EXPECT_TRUE(fs::is_empty(tree.root / "taken"));
}

TEST(SupportControl, OperandsAreWholeNumbersOfTheirTypeAndTextIsDecodedAsUtf8) {
  EXPECT_EQ(parseUInt16("-0"), 0);
  EXPECT_EQ(parseUInt16("+65535"), 65535);
  for (const char* text : {"99999999999999999999999", "+-1", "1_000", "\t1", "1\n"}) {
    EXPECT_EQ(parseUInt16(text), std::nullopt) << text;
  }
  EXPECT_EQ(parseInt32("2147483647"), INT32_MAX);
  EXPECT_EQ(parseInt32("4294967295"), std::nullopt) << "no wrap to -1";
  EXPECT_EQ(parseInt32("-0"), 0);
  EXPECT_EQ(parseInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseInt64("-9223372036854775808"), INT64_MIN);
  for (const char* text : {"-9223372036854775809", "18446744073709551616", "-", "+"}) {
    EXPECT_EQ(parseInt64(text), std::nullopt) << text;
  }
  for (const auto& [text, value] : std::vector<std::pair<const char*, double>>{{"10.5", 10.5},
                                                                               {"-10.5", -10.5},
                                                                               {"+.5", 0.5},
                                                                               {"5.", 5},
                                                                               {"1E3", 1000},
                                                                               {"2.5e-1", 0.25},
                                                                               {"-0", 0}}) {
    EXPECT_EQ(parseDouble(text), value) << text;
  }
  for (const char* text : {".", "e5", "1e", "1e+", "1.2.3", "--1", "1,5", " 1", "infinity", "0x1p3",
                           "-1e400", "1e-400"}) {
    EXPECT_EQ(parseDouble(text), std::nullopt) << text;
  }
  for (const auto& [bytes, units] : std::vector<std::pair<const char*, std::u16string>>{
           {"", u""},
           {"a\xc3\xa9\xe2\x80\xa6", u"a\u00e9\u2026"},
           {"\xf0\x9f\x98\x80", u"\U0001F600"},
           {"a\xff"
            "b",
            u"a\uFFFDb"},
           {"\xc0\xaf", u"\uFFFD\uFFFD"},
           {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},
           {"\xe2\x80", u"\uFFFD\uFFFD"},
           {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}}) {
    EXPECT_EQ(utf16FromUTF8(bytes), units) << bytes;
  }
}

}  // namespace
}  // namespace tarnwick::support

namespace tarnwick::app::activation {
namespace {

using namespace std::string_literals;

TEST(ActivationRequest, FramesEachUrlWithANulByteWithinSixtyFourKilobytes) {
  EXPECT_EQ(encodeRequest({}), "activate\0"s);
  EXPECT_EQ(encodeRequest({"a://1", "b://2"}), "activate\0a://1\0b://2\0"s);
  for (const auto& urls :
       std::vector<std::vector<std::string>>{{},
                                             {"tarnwick://plaid-complete"},
                                             {"t://x?a b", "t2://x?$(y);z|*'\"", "t://\u00fcn"},
                                             {"b://2", "a://1", "b://2"},
                                             {std::string(maximumRequestSize - 10, 'u')}}) {
    EXPECT_EQ(decodeRequest(encodeRequest(urls).value_or("")), urls);
  }
  for (const auto& urls : std::vector<std::vector<std::string>>{
           {""},
           {"a://1", "x\0y"s},
           {std::string(maximumRequestSize - 9, 'u')},
           std::vector<std::string>(maximumRequestSize / 8, "a://1234")}) {
    EXPECT_FALSE(encodeRequest(urls)) << urls.size();
  }
  for (const auto& request :
       {""s, "activate"s, "activate\0a://1"s, "activate\0\0"s, "activate\0a://1\0\0"s, "\0"s,
        "ACTIVATE\0"s, "activat\0"s, "activate \0"s, "open\0a://1\0"s, "\0activate\0"s,
        "activate\0"s + std::string(maximumRequestSize - 9, 'u') + "\0"s}) {
    EXPECT_FALSE(decodeRequest(request)) << testing::PrintToString(request.substr(0, 20));
  }
}

TEST(ActivationRequest, OnlyTheSameUserMayActivate) {
  EXPECT_TRUE(isAcceptedPeer(1000, 1000) && isAcceptedPeer(0, 0));
  for (auto [peer, self] : std::vector<std::pair<std::optional<uid_t>, uid_t>>{
           {65534, 1000}, {0, 1000}, {1000, 0}, {std::nullopt, 1000}}) {
    EXPECT_FALSE(isAcceptedPeer(peer, self)) << peer.value_or(-1) << " " << self;
  }
  int pair[2], pipe[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) | ::pipe(pipe), 0);
  EXPECT_EQ(peerUser(pair[0]), ::getuid());
  EXPECT_FALSE(peerUser(pipe[0])) << "not a socket";
  EXPECT_FALSE(peerUser(-1));
  for (int fd : {pair[0], pair[1], pipe[0], pipe[1]}) {
    ::close(fd);
  }
}

}  // namespace
}  // namespace tarnwick::app::activation
