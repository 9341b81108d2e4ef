#include <gtest/gtest.h>

#include "platform/linux/webview/FrameAttribution.h"

namespace tarnwick::platform::linux_desktop {
namespace {

TEST(SerializedOrigin, IsTakenApartOrRefused) {
  struct Case {
    std::string serialized;
    SecurityOrigin expected;
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1:8766", {"http", "127.0.0.1", 8766}},
      {"http://localhost:8766", {"http", "localhost", 8766}},
      {"https://example.com", {"https", "example.com", 0}},  // the scheme's default port
      {"http://[::1]:8766", {"http", "[::1]", 8766}},
      {"http://[::1]", {"http", "[::1]", 0}},
      {"file://", {"file", "", 0}},
      // Opaque or unreadable: no origin at all.
      {"null", {}},
      {"", {}},
      {"://host", {}},
      {"http://127.0.0.1:", {}},
      {"http://127.0.0.1:0", {}},
      {"http://127.0.0.1:65536", {}},
      {"http://127.0.0.1:87a6", {}},
      {"http://127.0.0.1:8766/", {}},
      {"http://user@127.0.0.1:8766", {}},
      {"http://127.0.0.1:8766#x", {}},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.serialized);
    EXPECT_EQ(parseSerializedOrigin(testCase.serialized), testCase.expected);
  }
}

const FrameInfo mainFrame{true, {"http", "127.0.0.1", 8766}};
const FrameInfo childFrame{false, {"http", "127.0.0.1", 8767}};

FrameReport report(const std::string& kind, std::uint64_t serial, std::uint64_t frameID,
                   const FrameInfo& frame, const std::string& text = "") {
  return FrameReport{
      .kind = kind, .serial = serial, .frameID = frameID, .frame = frame, .text = text};
}

TEST(FrameAttribution, AnEventWithoutAReportComesFromAnUntrustedFrame) {
  FrameAttribution attribution;
  EXPECT_EQ(attribution.attributePending("alert", "hello"), FrameAttribution::untrusted());
  EXPECT_EQ(attribution.attributeLatest("media"), FrameAttribution::untrusted());
  EXPECT_FALSE(FrameAttribution::untrusted().isMainFrame);
  EXPECT_EQ(FrameAttribution::untrusted().origin, SecurityOrigin{});
}

TEST(FrameAttribution, APendingReportGivesItsFrameToOneEventOfItsKindAndText) {
  FrameAttribution attribution;
  attribution.received(report("alert", 1, 10, mainFrame, "hello"));
  EXPECT_EQ(attribution.attributePending("confirm", "hello"), FrameAttribution::untrusted());
  EXPECT_EQ(attribution.attributePending("alert", "other text"), FrameAttribution::untrusted());
  EXPECT_EQ(attribution.attributePending("alert", "hello"), mainFrame);
  // Used up: a second dialog of the same text has no report of its own.
  EXPECT_EQ(attribution.attributePending("alert", "hello"), FrameAttribution::untrusted());
}

TEST(FrameAttribution, AReportEndsWithItsCall) {
  FrameAttribution attribution;
  attribution.received(report("alert", 1, 10, mainFrame, "hello"));
  attribution.done("alert", 1);
  EXPECT_EQ(attribution.attributePending("alert", "hello"), FrameAttribution::untrusted());

  // Done for another serial or kind leaves it pending.
  attribution.received(report("alert", 2, 10, mainFrame, "hello"));
  attribution.done("alert", 3);
  attribution.done("confirm", 2);
  EXPECT_EQ(attribution.attributePending("alert", "hello"), mainFrame);
}

TEST(FrameAttribution, ReportsOfTwoFramesAtOnceLeaveTheEventUnattributed) {
  FrameAttribution attribution;
  attribution.received(report("open-panel", 1, 10, mainFrame));
  attribution.received(report("open-panel", 2, 20, childFrame));
  EXPECT_EQ(attribution.attributePending("open-panel", std::nullopt),
            FrameAttribution::untrusted());

  // Reports of one frame, as nested calls make them, are fine: the latest answers.
  FrameAttribution sameFrame;
  sameFrame.received(report("open-panel", 1, 10, mainFrame));
  sameFrame.received(report("open-panel", 2, 10, mainFrame));
  EXPECT_EQ(sameFrame.attributePending("open-panel", std::nullopt), mainFrame);
  EXPECT_EQ(sameFrame.attributePending("open-panel", std::nullopt), mainFrame);
  EXPECT_EQ(sameFrame.attributePending("open-panel", std::nullopt), FrameAttribution::untrusted());

  // Another kind's pending report does not count against it.
  FrameAttribution mixed;
  mixed.received(report("alert", 1, 20, childFrame, "x"));
  mixed.received(report("open-panel", 2, 10, mainFrame));
  EXPECT_EQ(mixed.attributePending("open-panel", std::nullopt), mainFrame);
}

TEST(FrameAttribution, ALaterEventTakesTheLatestReportOfItsKindOnce) {
  FrameAttribution attribution;
  attribution.received(report("media", 1, 10, childFrame));
  attribution.done("media", 1);
  attribution.received(report("media", 2, 10, mainFrame));
  attribution.done("media", 2);
  EXPECT_EQ(attribution.attributeLatest("media"), mainFrame);
  EXPECT_EQ(attribution.attributeLatest("media"), FrameAttribution::untrusted());
}

TEST(FrameAttribution, ResetForgetsEverything) {
  FrameAttribution attribution;
  attribution.received(report("alert", 1, 10, mainFrame, "hello"));
  attribution.received(report("media", 2, 10, mainFrame));
  attribution.reset();
  EXPECT_EQ(attribution.attributePending("alert", "hello"), FrameAttribution::untrusted());
  EXPECT_EQ(attribution.attributeLatest("media"), FrameAttribution::untrusted());
}

}  // namespace
}  // namespace tarnwick::platform::linux_desktop
