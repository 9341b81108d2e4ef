// What the shell's UI process leaves out on a machine without a GPU: the software GL stack, which
// only its web process renders with.
#include <gtest/gtest.h>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

bool mapsSoftwareGl(int pid) {
  auto maps = readFile("/proc/" + std::to_string(pid) + "/maps");
  return maps.find("swrast_dri") != std::string::npos || maps.find("libLLVM") != std::string::npos;
}

TEST(Footprint, WithoutARenderNodeOnlyTheWebProcessMapsTheSoftwareGlStack) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev/dri", error)) {
    if (entry.path().filename().string().starts_with("renderD")) {
      GTEST_SKIP() << "a GPU render node: the window may composite with it";
    }
  }
  ASSERT_FALSE(StandIn().server()) << "something already listens on 127.0.0.1:8766";
  Session session;
  ASSERT_TRUE(session.launch());
  ASSERT_FALSE(StandIn().waitLog(loaded("/"), 30s).empty()) << "the interface never loaded";
  auto pages = processesOf("WebKitWebProcess", session.home.path());
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_TRUE(mapsSoftwareGl(pages.front())) << "the page renders without it: nothing to leave out";
  EXPECT_FALSE(mapsSoftwareGl(session.shell->pid()));
}

}  // namespace
}  // namespace tarnwick::e2e
