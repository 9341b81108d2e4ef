#include <gtest/gtest.h>

#include "FakePlatform.h"

namespace tarnwick::app {
namespace {

using fakes::FakePlatform;

TEST(DelegateState, FieldsTakeTheirInitialValues) {
  FakePlatform platform;
  platform.bundle.info["CFBundleShortVersionString"] = std::string("2.3.1");
  auto delegate = platform.makeDelegate();

  EXPECT_EQ(delegate->localURL(), "http://127.0.0.1:8766/");
  EXPECT_EQ(delegate->latestReleaseURL(), "https://tarnwick.com/support/mac/latest.json");
  EXPECT_EQ(delegate->currentVersion(), "2.3.1");
  EXPECT_EQ(delegate->connectorBundleIdentifier(), "com.ostrel.tarnwick.macos");
  EXPECT_EQ(delegate->releaseTeamIdentifier(), "K7QW3ZTN8R");
  EXPECT_EQ(delegate->launcherBundleIdentifier(), "com.ostrel.tarnwick.launcher");
  EXPECT_EQ(delegate->window(), nullptr);
  EXPECT_EQ(delegate->webView(), nullptr);
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_FALSE(delegate->targetURL());
  EXPECT_FALSE(delegate->pendingInviteURL());
  EXPECT_FALSE(delegate->replaceStaleConnector());
  EXPECT_FALSE(delegate->updateCheckInProgress());
  EXPECT_EQ(delegate->connectorSignature(), "TarnwickDesktop/2.3.1");
}

TEST(DelegateState, ConstructionTouchesNothingElse) {
  FakePlatform platform;
  auto delegate = platform.makeDelegate();
  EXPECT_TRUE(platform.application.events.empty());
  EXPECT_EQ(platform.http.count(), 0U);
  EXPECT_TRUE(platform.commands.calls.empty());
  EXPECT_EQ(platform.mainQueue.pending(), 0U);
}

struct VersionCase {
  const char* name;
  platform::InfoValue value;
  const char* version;
};

class BundleVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(BundleVersion, FallsBackToZeroesUnlessAString) {
  FakePlatform platform;
  platform.bundle.info["CFBundleShortVersionString"] = GetParam().value;
  auto delegate = platform.makeDelegate();
  EXPECT_EQ(delegate->currentVersion(), GetParam().version);
  EXPECT_EQ(delegate->connectorSignature(), std::string("TarnwickDesktop/") + GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BundleVersion,
    testing::Values(VersionCase{"string", std::string("1.4.2"), "1.4.2"},
                    VersionCase{"absent", platform::InfoAbsent{}, "0.0.0"},
                    VersionCase{"notAString", platform::InfoOther{}, "0.0.0"},
                    VersionCase{"emptyString", std::string(""), ""}),
    [](const testing::TestParamInfo<VersionCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tarnwick::app
