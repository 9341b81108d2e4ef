#include <gtest/gtest.h>

#include "platform/linux/webview/FrameAttribution.h"

namespace tarnwick::platform::linux_desktop {
namespace {

TEST(SerializedOrigin, IsTakenApartOrRefused) {
  // serialized | protocol host port, 0 for the scheme's default port; "-" when opaque or unreadable
  for (std::string_view row :
       {"http://127.0.0.1:8766|http 127.0.0.1 8766", "http://localhost:8766|http localhost 8766",
        "https://example.com|https example.com 0", "http://[::1]:8766|http [::1] 8766",
        "http://[::1]|http [::1] 0", "file://|file  0", "null|-", "|-", "://host|-",
        "http://127.0.0.1:|-", "http://127.0.0.1:0|-", "http://127.0.0.1:65536|-",
        "http://127.0.0.1:87a6|-", "http://127.0.0.1:8766/|-", "http://user@127.0.0.1:8766|-",
        "http://127.0.0.1:8766#x|-"}) {
    const auto bar = row.find('|');
    const auto origin = parseSerializedOrigin(std::string(row.substr(0, bar)));
    EXPECT_EQ(origin == SecurityOrigin{}
                  ? "-"
                  : origin.protocol + " " + origin.host + " " + std::to_string(origin.port),
              row.substr(bar + 1))
        << row;
  }
}

// An event takes the frame of the one report of its kind (and text) still pending, or of the
// latest finished one; anything else is untrusted.
TEST(FrameAttribution, GivesEachEventTheFrameOfItsOwnReportOnlyOnce) {
  const FrameInfo main{true, {"http", "127.0.0.1", 8766}},
      child{false, {"http", "127.0.0.1", 8767}};
  const FrameInfo none = FrameAttribution::untrusted();
  EXPECT_FALSE(none.isMainFrame);
  EXPECT_EQ(none.origin, SecurityOrigin{});
  FrameAttribution a;
  auto report = [&](const char* kind, std::uint64_t serial, std::uint64_t frame,
                    const FrameInfo& info, const std::string& text = "") {
    a.received({kind, serial, frame, info, text});
  };
  EXPECT_EQ(a.attributePending("alert", "hello"), none);
  EXPECT_EQ(a.attributeLatest("media"), none);
  report("alert", 1, 10, main, "hello");
  EXPECT_EQ(a.attributePending("confirm", "hello"), none);
  EXPECT_EQ(a.attributePending("alert", "other"), none);
  EXPECT_EQ(a.attributePending("alert", "hello"), main);
  EXPECT_EQ(a.attributePending("alert", "hello"), none) << "used up";
  report("alert", 2, 10, main, "hello");
  a.done("alert", 3);
  a.done("confirm", 2);
  EXPECT_EQ(a.attributePending("alert", "hello"), main) << "only its own call ends a report";
  report("alert", 4, 10, main, "hello");
  a.done("alert", 4);
  EXPECT_EQ(a.attributePending("alert", "hello"), none);
  // Two frames at once leave it unattributed; nested calls of one frame do not.
  report("open-panel", 5, 10, main);
  report("open-panel", 6, 20, child);
  EXPECT_EQ(a.attributePending("open-panel", std::nullopt), none);
  a.reset();
  report("alert", 7, 20, child, "x");  // another kind does not count against it
  report("open-panel", 8, 10, main);
  report("open-panel", 9, 10, main);
  EXPECT_EQ(a.attributePending("open-panel", std::nullopt), main);
  EXPECT_EQ(a.attributePending("open-panel", std::nullopt), main);
  EXPECT_EQ(a.attributePending("open-panel", std::nullopt), none);
  report("media", 10, 10, child);
  a.done("media", 10);
  report("media", 11, 10, main);
  a.done("media", 11);
  EXPECT_EQ(a.attributeLatest("media"), main);
  EXPECT_EQ(a.attributeLatest("media"), none);
  report("media", 12, 10, main);
  a.reset();
  EXPECT_EQ(a.attributeLatest("media"), none);
  EXPECT_EQ(a.attributePending("alert", "x"), none);
}

}  // namespace
}  // namespace tarnwick::platform::linux_desktop
