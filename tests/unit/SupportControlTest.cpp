// The support-control command line: recognising the command, operand counts and conversions, and
// result codes, on fake devices.
#include <gtest/gtest.h>

#include <limits>

#include "FakeSupportDevices.h"
#include "support/TarnwickSupportControl.h"

namespace tarnwick::support {
namespace {

using Events = std::vector<std::string>;

struct DispatchCase {
  const char* name;
  std::vector<std::string> arguments;  // after the executable path
  std::optional<std::int32_t> result;
  Events events;  // everything posted
  int opened;     // how often the devices were asked for
  bool trusted = true;
  bool captureAllowed = true;
  std::vector<std::string> questions = {};
};

class Dispatch : public testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, GivesTheCodeAndPostsOnlyWhatTheCommandAsks) {
  const auto& param = GetParam();
  fakes::FakeSupportDevices devices;
  devices.privacy.trusted = param.trusted;
  devices.privacy.captureAllowed = param.captureAllowed;
  std::vector<std::string> arguments{"/opt/Tarnwick.app/Contents/MacOS/Tarnwick"};
  arguments.insert(arguments.end(), param.arguments.begin(), param.arguments.end());

  EXPECT_EQ(TarnwickSupportControl::runIfRequested(arguments, devices), param.result);
  EXPECT_EQ(devices.input.events, param.events);
  EXPECT_EQ(devices.opened, param.opened);
  EXPECT_EQ(devices.privacy.questions, param.questions);
  EXPECT_EQ(devices.screen.captures, 0);
}

std::string caseName(const testing::TestParamInfo<DispatchCase>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    NotASupportCommand, Dispatch,
    testing::Values(
        DispatchCase{"noArguments", {}, std::nullopt, {}, 0},
        DispatchCase{"help", {"--help"}, std::nullopt, {}, 0},
        DispatchCase{"link", {"tarnwick://plaid-complete"}, std::nullopt, {}, 0},
        DispatchCase{"singleDash", {"-tarnwick-support-key", "36"}, std::nullopt, {}, 0},
        // Only the second argument counts.
        DispatchCase{
            "prefixLater", {"--help", "--tarnwick-support-key", "36"}, std::nullopt, {}, 0}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    UnknownNames, Dispatch,
    testing::Values(DispatchCase{"prefixAlone", {"--tarnwick-support-"}, 2, {}, 0},
                    DispatchCase{"notInTable", {"--tarnwick-support-status"}, 2, {}, 0},
                    DispatchCase{"otherCase", {"--tarnwick-support-Key", "36"}, 2, {}, 0},
                    DispatchCase{"longerName", {"--tarnwick-support-key36"}, 2, {}, 0},
                    DispatchCase{"trailingSpace", {"--tarnwick-support-key ", "36"}, 2, {}, 0},
                    DispatchCase{"nameTwice", {"--tarnwick-support-type-type", "x"}, 2, {}, 0}),
    caseName);

INSTANTIATE_TEST_SUITE_P(Permissions, Dispatch,
                         testing::Values(DispatchCase{"accessibilityTrusted",
                                                      {"--tarnwick-support-accessibility-status"},
                                                      0,
                                                      {},
                                                      1,
                                                      true,
                                                      true,
                                                      {"accessibility"}},
                                         DispatchCase{"accessibilityNotTrusted",
                                                      {"--tarnwick-support-accessibility-status"},
                                                      3,
                                                      {},
                                                      1,
                                                      false,
                                                      true,
                                                      {"accessibility"}},
                                         DispatchCase{"accessibilityRequestPrompts",
                                                      {"--tarnwick-support-accessibility-request"},
                                                      3,
                                                      {},
                                                      1,
                                                      false,
                                                      true,
                                                      {"accessibility with prompt"}},
                                         DispatchCase{"screenAllowed",
                                                      {"--tarnwick-support-screen-status"},
                                                      0,
                                                      {},
                                                      1,
                                                      true,
                                                      true,
                                                      {"screen capture"}},
                                         DispatchCase{"screenNotAllowed",
                                                      {"--tarnwick-support-screen-status"},
                                                      3,
                                                      {},
                                                      1,
                                                      true,
                                                      false,
                                                      {"screen capture"}},
                                         DispatchCase{"screenExtraArgumentsIgnored",
                                                      {"--tarnwick-support-screen-status", "extra",
                                                       "--tarnwick-support-key"},
                                                      0,
                                                      {},
                                                      1,
                                                      true,
                                                      true,
                                                      {"screen capture"}},
                                         DispatchCase{"screenRequest",
                                                      {"--tarnwick-support-screen-request", "x"},
                                                      0,
                                                      {},
                                                      1,
                                                      true,
                                                      true,
                                                      {"screen capture request"}}),
                         caseName);

INSTANTIATE_TEST_SUITE_P(
    OperandCounts, Dispatch,
    testing::Values(
        DispatchCase{"snapshotWithoutPath", {"--tarnwick-support-snapshot"}, 2, {}, 0},
        DispatchCase{
            "snapshotTwoPaths", {"--tarnwick-support-snapshot", "/tmp/a", "/tmp/b"}, 2, {}, 0},
        DispatchCase{
            "typeTextOneShort", {"--tarnwick-support-type-text", "com.apple.Notes"}, 2, {}, 0},
        DispatchCase{"typeWithoutText", {"--tarnwick-support-type"}, 2, {}, 0},
        DispatchCase{"typeTwoTexts", {"--tarnwick-support-type", "a", "b"}, 2, {}, 0},
        DispatchCase{"keyWithoutCode", {"--tarnwick-support-key"}, 2, {}, 0},
        DispatchCase{"keyExtra", {"--tarnwick-support-key", "36", "36"}, 2, {}, 0},
        DispatchCase{"clickOneShort", {"--tarnwick-support-click", "10", "20", "left"}, 2, {}, 0},
        DispatchCase{
            "clickOneOver", {"--tarnwick-support-click", "10", "20", "left", "1", "1"}, 2, {}, 0},
        DispatchCase{"scrollWithoutDelta", {"--tarnwick-support-scroll"}, 2, {}, 0}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Operands, Dispatch,
    testing::Values(
        DispatchCase{"key36", {"--tarnwick-support-key", "36"}, 0, {"key 36 flags 0x0"}, 1},
        DispatchCase{
            "keyLargest", {"--tarnwick-support-key", "65535"}, 0, {"key 65535 flags 0x0"}, 1},
        DispatchCase{"keyPlusSign", {"--tarnwick-support-key", "+36"}, 0, {"key 36 flags 0x0"}, 1},
        DispatchCase{
            "keyLeadingZeros", {"--tarnwick-support-key", "0036"}, 0, {"key 36 flags 0x0"}, 1},
        DispatchCase{"keyTooLarge", {"--tarnwick-support-key", "65536"}, 2, {}, 0},
        DispatchCase{"keyWrapsNot", {"--tarnwick-support-key", "65572"}, 2, {}, 0},
        DispatchCase{"keyNegative", {"--tarnwick-support-key", "-1"}, 2, {}, 0},
        DispatchCase{"keyWord", {"--tarnwick-support-key", "abc"}, 2, {}, 0},
        DispatchCase{"keyLeadingSpace", {"--tarnwick-support-key", " 36"}, 2, {}, 0},
        DispatchCase{"keyTrailingSpace", {"--tarnwick-support-key", "36 "}, 2, {}, 0},
        DispatchCase{"keyDigitsThenWord", {"--tarnwick-support-key", "36abc"}, 2, {}, 0},
        DispatchCase{"keyHex", {"--tarnwick-support-key", "0x24"}, 2, {}, 0},
        DispatchCase{"keyDecimal", {"--tarnwick-support-key", "36.0"}, 2, {}, 0},
        DispatchCase{"keyEmpty", {"--tarnwick-support-key", ""}, 2, {}, 0},
        DispatchCase{"clickMiddleIsLeft",
                     {"--tarnwick-support-click", "10.5", "20", "middle", "1"},
                     0,
                     {"click 10.5 20 left 1"},
                     1},
        DispatchCase{"clickRight",
                     {"--tarnwick-support-click", "-4", "+2.5e1", "right", "2"},
                     0,
                     {"click -4 25 right 2"},
                     1},
        DispatchCase{"clickCountOutOf64Bits",
                     {"--tarnwick-support-click", "1", "2", "left", "9223372036854775808"},
                     2,
                     {},
                     0},
        DispatchCase{"clickSmallestCount",
                     {"--tarnwick-support-click", "1", "2", "left", "-9223372036854775808"},
                     0,
                     {"click 1 2 left 1"},
                     1},
        DispatchCase{"clickXWord", {"--tarnwick-support-click", "ten", "2", "left", "1"}, 2, {}, 0},
        DispatchCase{
            "clickXNotANumber", {"--tarnwick-support-click", "nan", "2", "left", "1"}, 2, {}, 0},
        DispatchCase{
            "clickYInfinite", {"--tarnwick-support-click", "1", "inf", "left", "1"}, 2, {}, 0},
        DispatchCase{
            "clickYOverflows", {"--tarnwick-support-click", "1", "1e999", "left", "1"}, 2, {}, 0},
        DispatchCase{"clickXHex", {"--tarnwick-support-click", "0x10", "2", "left", "1"}, 2, {}, 0},
        DispatchCase{
            "clickCountDecimal", {"--tarnwick-support-click", "1", "2", "left", "1.0"}, 2, {}, 0},
        DispatchCase{"scrollTooLarge", {"--tarnwick-support-scroll", "2147483648"}, 2, {}, 0},
        DispatchCase{"scrollTooSmall", {"--tarnwick-support-scroll", "-2147483649"}, 2, {}, 0},
        DispatchCase{"scrollSmallest",
                     {"--tarnwick-support-scroll", "-2147483648"},
                     0,
                     {"scroll -2147483648"},
                     1},
        DispatchCase{"scrollPlus", {"--tarnwick-support-scroll", "+3"}, 0, {"scroll 3"}, 1},
        DispatchCase{"scrollSignAlone", {"--tarnwick-support-scroll", "-"}, 2, {}, 0},
        DispatchCase{"typeEmpty", {"--tarnwick-support-type", ""}, 0, {}, 1},
        DispatchCase{"typeText", {"--tarnwick-support-type", "hello"}, 0, {"text 5"}, 1},
        DispatchCase{"typeTextNotAllowed",
                     {"--tarnwick-support-type-text", "com.apple.Safari", "hello"},
                     4,
                     {},
                     1}),
    caseName);

TEST(Dispatch, AnActionThatFailsGivesFour) {
  fakes::FakeSupportDevices devices;
  devices.input.failAfter = 0;
  EXPECT_EQ(TarnwickSupportControl::runIfRequested({"t", "--tarnwick-support-key", "36"}, devices),
            4);
  EXPECT_EQ(
      TarnwickSupportControl::runIfRequested({"t", "--tarnwick-support-scroll", "1"}, devices), 4);
  devices.screen.image.reset();
  EXPECT_EQ(TarnwickSupportControl::runIfRequested({"t", "--tarnwick-support-snapshot", "/tmp/x"},
                                                   devices),
            4);
}

TEST(Dispatch, TypeTextGoesToTheAllowedApplicationAfterItsPauses) {
  fakes::FakeSupportDevices devices;
  EXPECT_EQ(
      TarnwickSupportControl::runIfRequested(
          {"t", "--tarnwick-support-type-text", "com.apple.TextEdit", "hi \xc3\xa9"}, devices),
      0);
  EXPECT_EQ(devices.input.events,
            (Events{"activate com.apple.TextEdit", "key 45 flags 0x100000", "text 4"}));
  EXPECT_EQ(devices.input.chunks.back(), u"hi \u00e9");
  EXPECT_EQ(devices.sleeper.pauses, (std::vector<double>{0.8, 0.25, 0.4}));
}

// --- Operand conversions ---

TEST(OperandConversion, Integers) {
  EXPECT_EQ(parseUInt16("0"), 0);
  EXPECT_EQ(parseUInt16("-0"), 0);
  EXPECT_EQ(parseUInt16("+65535"), 65535);
  EXPECT_EQ(parseUInt16("99999999999999999999999"), std::nullopt);
  EXPECT_EQ(parseUInt16("+-1"), std::nullopt);
  EXPECT_EQ(parseUInt16("1_000"), std::nullopt);
  EXPECT_EQ(parseUInt16("\t1"), std::nullopt);
  EXPECT_EQ(parseUInt16("1\n"), std::nullopt);
  EXPECT_EQ(parseInt32("2147483647"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(parseInt32("-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(parseInt32("4294967295"), std::nullopt);  // no wrap to -1
  EXPECT_EQ(parseInt32("-0"), 0);
  EXPECT_EQ(parseInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parseInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parseInt64("-9223372036854775809"), std::nullopt);
  EXPECT_EQ(parseInt64("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parseInt64("-"), std::nullopt);
  EXPECT_EQ(parseInt64("+"), std::nullopt);
}

TEST(OperandConversion, Decimals) {
  EXPECT_EQ(parseDouble("10.5"), 10.5);
  EXPECT_EQ(parseDouble("-10.5"), -10.5);
  EXPECT_EQ(parseDouble("+.5"), 0.5);
  EXPECT_EQ(parseDouble("5."), 5.0);
  EXPECT_EQ(parseDouble("1E3"), 1000.0);
  EXPECT_EQ(parseDouble("2.5e-1"), 0.25);
  EXPECT_EQ(parseDouble("-0"), 0.0);
  EXPECT_EQ(parseDouble("."), std::nullopt);
  EXPECT_EQ(parseDouble("e5"), std::nullopt);
  EXPECT_EQ(parseDouble("1e"), std::nullopt);
  EXPECT_EQ(parseDouble("1e+"), std::nullopt);
  EXPECT_EQ(parseDouble("1.2.3"), std::nullopt);
  EXPECT_EQ(parseDouble("--1"), std::nullopt);
  EXPECT_EQ(parseDouble("1,5"), std::nullopt);
  EXPECT_EQ(parseDouble(" 1"), std::nullopt);
  EXPECT_EQ(parseDouble("infinity"), std::nullopt);
  EXPECT_EQ(parseDouble("0x1p3"), std::nullopt);
  EXPECT_EQ(parseDouble("-1e400"), std::nullopt);
}

TEST(ArgumentText, DecodesUTF8AndReplacesWhatIsIllFormed) {
  EXPECT_EQ(utf16FromUTF8(""), u"");
  EXPECT_EQ(utf16FromUTF8("a\xc3\xa9\xe2\x80\xa6"), u"a\u00e9\u2026");
  EXPECT_EQ(utf16FromUTF8("\xf0\x9f\x98\x80"), u"\U0001F600");
  EXPECT_EQ(utf16FromUTF8("\xf0\x9f\x98\x80").size(), 2U);
  EXPECT_EQ(utf16FromUTF8("a\xff"
                          "b"),
            u"a\uFFFDb");
  EXPECT_EQ(utf16FromUTF8("\xc0\xaf"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(utf16FromUTF8("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");  // an encoded surrogate
  EXPECT_EQ(utf16FromUTF8("\xe2\x80"), u"\uFFFD\uFFFD");            // cut short
}

}  // namespace
}  // namespace tarnwick::support
