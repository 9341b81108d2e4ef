#include "app/Main.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::app {
namespace {

class RecordingStartup final : public Startup {
 public:
  std::optional<std::int32_t> runSupportControlIfRequested() override {
    calls.push_back("support");
    return supportStatus;
  }
  bool claimVisibleInstance() override {
    calls.push_back("claim");
    return claimed;
  }
  void activateExistingInstance() override { calls.push_back("activate"); }
  int runApplication() override {
    calls.push_back("application");
    return 0;
  }

  std::optional<std::int32_t> supportStatus;
  bool claimed = true;
  std::vector<std::string> calls;
};

struct ControlCase {
  std::int32_t status;
  const char* output;
};

class SupportControlMarker : public testing::TestWithParam<ControlCase> {};

TEST_P(SupportControlMarker, PrintsOneLineAndExitsWithTheStatusItself) {
  RecordingStartup startup;
  startup.supportStatus = GetParam().status;
  std::ostringstream out;
  EXPECT_EQ(runMain(startup, out), GetParam().status);
  EXPECT_EQ(out.str(), GetParam().output);
  // The lock is never touched in this life.
  EXPECT_EQ(startup.calls, std::vector<std::string>{"support"});
}

INSTANTIATE_TEST_SUITE_P(Statuses, SupportControlMarker,
                         testing::Values(ControlCase{0, "TARNWICK_CONTROL_OK\n"},
                                         ControlCase{2, "TARNWICK_CONTROL_DENIED\n"},
                                         ControlCase{3, "TARNWICK_CONTROL_DENIED\n"},
                                         ControlCase{4, "TARNWICK_CONTROL_DENIED\n"}));

TEST(Main, ARefusedCopyActivatesTheOtherAndExitsZeroWithoutAnApplication) {
  RecordingStartup startup;
  startup.claimed = false;
  std::ostringstream out;
  EXPECT_EQ(runMain(startup, out), 0);
  EXPECT_EQ(startup.calls, (std::vector<std::string>{"support", "claim", "activate"}));
  EXPECT_TRUE(out.str().empty());
}

TEST(Main, ANormalStartChecksSupportControlThenTheLockThenRuns) {
  RecordingStartup startup;
  std::ostringstream out;
  EXPECT_EQ(runMain(startup, out), 0);
  EXPECT_EQ(startup.calls, (std::vector<std::string>{"support", "claim", "application"}));
  EXPECT_TRUE(out.str().empty());
}

}  // namespace
}  // namespace tarnwick::app
