// The support-control command line and its actions on fake devices, and the activation channel's
// request between two copies of the application with the desktop's token for raising the window.
#include <sys/socket.h>

#include "Shell.h"
#include "app/TarnwickVisibleInstance.h"
#include "support/TarnwickSupportControl.h"

namespace tarnwick::testing_support {
namespace {

using support::TarnwickSupportControl;
using Devices = fakes::FakeSupportDevices;

TEST(SupportControl, RecognisesTheCommandAndItsOperandsBeforeTouchingAnyDevice) {
  // arguments after the executable ("+" stands for "--tarnwick-support-", "~" for an empty one) |
  // the result ("-" for no command) | every question and event, or "" when no device was opened.
  // A leading "!": devices that grant nothing, have no image and fail every event.
  for (auto row :
       rows("|-|;--help|-|;-tarnwick-support-key 36|-|;--help +key 36|-|;+|2|;"
            "+status|2|;+Key 36|2|;+snapshot|2|;+snapshot /a /b|2|;"
            "+type-text com.apple.Notes|2|;+type|2|;+type a b|2|;+key 36 36|2|;"
            "+key 65536|2|;+key abc|2|;+click 10 20 left|2|;+click ten 2 left 1|2|;"
            "+click 1 2 left 1.0|2|;+scroll|2|;+scroll 2147483648|2|;+key 36|0|key 36 flags 0;"
            "+key +65535|0|key 65535 flags 0;"
            "+click 10.5 20 middle 1|0|click 10.5 20 left 1;"
            "+click -4 +2.5e1 right 2|0|click -4 25 right 2;"
            "+click 1 2 left -9223372036854775808|0|click 1 2 left 1;"
            "+click 1 2 Right 9223372036854775807|0|click 1 2 left 2;"
            "+click 1 2 right 3|0|click 1 2 right 2;+click 1 2 right 0|0|click 1 2 right 1;"
            "+scroll -2147483648|0|scroll -2147483648;+type ~|0|;"
            "+type hello|0|text 5;+type-text com.apple.Safari hello|4|;"
            "+type-text com.apple.TextEdit h\xc3\xa9|0|activate "
            "com.apple.TextEdit, key 45 flags 1048576, text 2;"
            "+accessibility-status|0|accessibility;"
            "+accessibility-request|0|accessibility with prompt;"
            "+screen-status extra +key|0|screen capture;"
            "+screen-request x|0|screen capture request;!+accessibility-status 1|3|accessibility;"
            "!+accessibility-request 1|3|accessibility with prompt;"
            "!+screen-status 1|3|screen capture;!+screen-request 1|3|screen capture request;"
            "!+key 1|4|;!+scroll 1|4|;!+snapshot 1|4|;!+click 1 1 left 1|4|")) {
    Devices devices;
    if (row.starts_with('!')) {
      row.erase(0, 1);
      devices.granted = false;
      devices.failAfter = 0;
      devices.image.reset();
    }
    std::vector<std::string> arguments{"/opt/Tarnwick.app/Contents/MacOS/Tarnwick"};
    std::istringstream words(cells(row)[0]);
    for (std::string word; words >> word;) {
      arguments.push_back(word == "~" ? ""
                          : word[0] == '+' && arguments.size() == 1
                              ? "--tarnwick-support-" + word.substr(1)
                              : word);
    }
    auto result = TarnwickSupportControl::runIfRequested(arguments, devices);
    EXPECT_EQ(result ? std::to_string(*result) : "-", cells(row)[1]) << row;
    EXPECT_EQ(joined(devices.events, ", "), cells(row)[2]) << row;
    EXPECT_EQ(devices.opened, cells(row)[1] != "-" && cells(row)[1] != "2") << row;
  }
}

TEST(SupportControl, TextGoesInChunksOfTwentyUnitsKeepingPairsWhole) {
  const std::u16string pair = u"\U0001F600", eleven = pair + pair + pair + pair + pair + pair +
                                                      pair + pair + pair + pair + pair;
  for (const auto& [text, sizes] : std::vector<std::pair<std::u16string, std::string>>{
           {u"", ""},
           {std::u16string(20, u'x'), "20"},
           {std::u16string(45, u'x'), "20 20 5"},
           {std::u16string(19, u'a') + pair + u"b", "19 3"},
           {std::u16string(18, u'a') + pair + u"b", "20 1"},
           {eleven, "20 2"},
           {std::u16string(19, u'a') + u"\xD83D" + u"bc", "20 2"}}) {
    Devices devices;
    EXPECT_TRUE(TarnwickSupportControl::postText(devices, text));
    std::vector<std::size_t> posted;
    std::u16string whole;
    for (const auto& chunk : devices.chunks) {
      posted.push_back(chunk.size());
      whole += chunk;
    }
    EXPECT_EQ(joined(posted), sizes);
    EXPECT_EQ(whole, text);
  }
  Devices failing;
  failing.failAfter = 1;
  EXPECT_FALSE(TarnwickSupportControl::postText(failing, std::u16string(45, u'x')));
  EXPECT_EQ(joined(failing.events), "text 20") << "the rest is abandoned";
}

TEST(SupportControl, TypingActivatesAnAllowedApplicationOpensADocumentAndTypesAfterItsPauses) {
  for (const auto& refused : rows("com.apple.Safari;com.apple.textedit;com.apple.Notes.x;")) {
    Devices devices;
    EXPECT_FALSE(TarnwickSupportControl::typeText(devices.ports(), refused, u"hello")) << refused;
    EXPECT_TRUE(devices.sleeper.pauses.empty() && devices.events.empty()) << refused;
  }
  for (std::string allowed : {"com.apple.TextEdit", "com.apple.Notes"}) {
    Devices devices;  // not running: the keys go to whatever is in front
    EXPECT_TRUE(
        TarnwickSupportControl::typeText(devices.ports(), allowed, std::u16string(25, u'n')));
    EXPECT_EQ(joined(devices.events, ", "),
              "activate " + allowed + ", key 45 flags 1048576, text 20, text 5");
    EXPECT_EQ(joined(devices.sleeper.pauses), "0.8 0.25 0.4");
  }
  Devices failing;
  failing.failAfter = 0;
  EXPECT_FALSE(TarnwickSupportControl::typeText(failing.ports(), "com.apple.Notes", u"hello"));
  EXPECT_EQ(joined(failing.events) + " after " + joined(failing.sleeper.pauses),
            "activate com.apple.Notes after 0.8 0.25");
}

TEST(SupportControl, ASnapshotIsJpegWrittenWholeWithTheUsualModeOrNothing) {
  TemporaryTree tree;
  Devices devices;
  auto take = [&](const fs::path& path) {
    return TarnwickSupportControl::snapshot(devices, devices, path);
  };
  devices.jpeg = std::vector<std::uint8_t>{0xFF, 0xD8, 'j', 0xFF, 0xD9};
  tree.file("shot.jpg", fs::perms::owner_all, "an older and much longer file than the new one");
  mode_t previous = ::umask(022);
  for (const char* name : {"shot.jpg", "shot.png"}) {
    EXPECT_TRUE(take(tree.root / name)) << name;
    EXPECT_EQ(readAll(tree.root / name), "\xFF\xD8j\xFF\xD9") << name;
  }
  ::umask(previous);
  EXPECT_EQ(joined(devices.encoded, ", "), "2x1 at 0.720000, 2x1 at 0.720000");
  EXPECT_EQ(fs::status(tree.root / "shot.png").permissions(), fs::perms(0644));
  fs::create_directory(tree.root / "taken");
  for (const auto& path :
       {tree.root / "missing/shot.jpg", tree.root / "taken", tree.root / "taken/", fs::path()}) {
    EXPECT_FALSE(take(path)) << path;
  }
  devices.jpeg = std::vector<std::uint8_t>{};
  EXPECT_FALSE(take(tree.root / "empty"));
  devices.jpeg.reset();
  EXPECT_FALSE(take(tree.root / "none"));
  devices.image.reset();
  EXPECT_FALSE(take(tree.root / "blank"));
  EXPECT_EQ(devices.encoded.size(), 8U) << "no image, nothing encoded";
}

TEST(SupportControl, OperandsAreWholeNumbersOfTheirTypeAndTextIsDecodedAsUtf8) {
  // u 16-bit unsigned, i 32-bit, l 64-bit, d double | text | value ("-" refused)
  expectRows(
      "u|-0|0;u|+65535|65535;u|65536|-;u|99999999999999999999999|-;u|+-1|-;u|1_0|-;u|\t1|-;"
      "i|2147483647|2147483647;i|-2147483648|-2147483648;i|4294967295|-;i|-0|0;"
      "l|9223372036854775807|9223372036854775807;l|-9223372036854775808|-9223372036854775808;"
      "l|-9223372036854775809|-;l|18446744073709551616|-;l|-|-;l|+|-;"
      "d|-10.5|-10.500000;d|+.5|0.500000;d|5.|5.000000;d|2.5E-1|0.250000;d|.|-;d|e5|-;d|1e+|-;"
      "d|1.2.3|-;d|--1|-;d| 1|-;d|inf|-;d|nan|-;d|0x1p3|-;d|-1e400|-;d|1e-400|-",
      [](const auto& cell) {
        const std::string_view text = cell[1];
        return cell[0] == "u"   ? orDash(support::parseUInt16(text))
               : cell[0] == "i" ? orDash(support::parseInt32(text))
               : cell[0] == "l" ? orDash(support::parseInt64(text))
                                : orDash(support::parseDouble(text));
      });
  for (const auto& [bytes, units] : std::vector<std::pair<const char*, std::u16string>>{
           {"a\xc3\xa9\xe2\x80\xa6\xf0\x9f\x98\x80", u"a\u00e9\u2026\U0001F600"},
           {"a\xff"
            "b\xc0\xaf",
            u"a\uFFFDb\uFFFD\uFFFD"},
           {"\xed\xa0\x80\xe2\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
           {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}}) {
    EXPECT_EQ(support::utf16FromUTF8(bytes), units) << bytes;
  }
}

TEST(ActivationRequest, FramesEachUrlWithANulByteWithinSixtyFourKilobytesForThisUserOnly) {
  using namespace app::activation;
  using namespace std::string_literals;
  // A token travels first, under its own word, and only when it is one.
  for (const auto& [activation, bytes] :
       std::vector<std::pair<Activation, std::optional<std::string>>>{
           {{{"a://1", "b://2"}, ""}, "activate\0a://1\0b://2\0"s},
           {{{}, "id_TIME5"}, "activate-with-token\0id_TIME5\0"s},
           {{{"a://1", "b://2"}, "wl:3"}, "activate-with-token\0wl:3\0a://1\0b://2\0"s},
           {{{""}, "tok"}, std::nullopt}}) {
    EXPECT_EQ(encodeRequest(activation.urls, activation.token), bytes);
    EXPECT_TRUE(!bytes || decodeActivation(*bytes) == activation) << activation.token;
  }
  for (const auto& urls : std::vector<std::vector<std::string>>{
           {},
           {"t://x?a b", "t2://x?$(y);z|*'\"", "t://\u00fcn", "t://x?a b"},
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
       {""s, "activate"s, "activate\0a://1"s, "activate\0\0"s, "activate\0a://1\0\0"s,
        "ACTIVATE\0"s, "activate \0"s, "open\0a://1\0"s, "\0activate\0"s,
        "activate\0"s + std::string(maximumRequestSize - 9, 'u') + "\0"s, "activate-with-token\0"s,
        "activate-with-token\0\0a://1\0"s, "activate-with-token\0t\x7fk\0"s,
        "activate-with-token\0tok\0\0"s}) {
    EXPECT_FALSE(decodeActivation(request)) << testing::PrintToString(request.substr(0, 20));
  }
  EXPECT_TRUE(isAcceptedPeer(1000, 1000) && isAcceptedPeer(0, 0));
  EXPECT_FALSE(isAcceptedPeer(65534, 1000) || isAcceptedPeer(0, 1000) || isAcceptedPeer(1000, 0) ||
               isAcceptedPeer(std::nullopt, 1000));
  int pair[2], pipe[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) | ::pipe(pipe), 0);
  EXPECT_EQ(peerUser(pair[0]), ::getuid());
  EXPECT_FALSE(peerUser(pipe[0]) || peerUser(-1)) << "not a socket";
  for (int fd : {pair[0], pair[1], pipe[0], pipe[1]}) {
    ::close(fd);
  }
}

TEST(ActivationRequest, TheDesktopsTokenReachesTheWindowForThePresentationItCameWith) {
  // own token | links | token handed over once launched ("<" before) | the token of each
  // presentation: at launch, for the request, at a plain reopen
  for (const auto& row : rows(expand("l-1_TIME100||l-2_TIME200|l-1_TIME100,l-2_TIME200,;"
                                     "|https://elsewhere.example/|tok-4|,;own-5||<other-5|own-5,;"
                                     "$L||$Lt|$L,,;caf\u00e9||t k|,,",
                                     {{'L', std::string(256, 't')}}))) {
    auto cell = cells(row);
    fakes::FakePlatform platform;
    auto delegate = platform.makeDelegate();
    delegate->setStartupToken(cell[0]);
    const bool early = cell[2].starts_with('<');
    app::activation::Activation request{split(cell[1], ' '), cell[2].substr(early)};
    request.urls.erase(std::ranges::remove(request.urls, "").begin(), request.urls.end());
    if (early) {
      delegate->handleActivation(request);
    }
    delegate->applicationDidFinishLaunching();
    if (!early) {
      delegate->handleActivation(request);
    }
    delegate->handleActivation({});
    EXPECT_EQ(joined(platform.application.window->presentedTokens, ","), cell[3]) << row;
  }
}

}  // namespace
}  // namespace tarnwick::testing_support
