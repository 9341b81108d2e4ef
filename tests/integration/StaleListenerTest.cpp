#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "FakePlatform.h"
#include "Files.h"
#include "Processes.h"
#include "connector/PosixCommandRunner.h"

namespace tarnwick::integration {

using namespace testsupport;
namespace {

namespace fs = std::filesystem;

// The delegate on fakes, except for the command runner: the real one, with the lister and the
// signal sender swapped for the stand-in probe.
class StaleListener : public testing::Test {
 protected:
  StaleListener()
      : runner([this](const std::string& path) {
          auto found = tools.find(path);
          return found == tools.end() ? path : found->second.string();
        }) {
    lsof = folder.path() / "fake-lsof";
    kill = folder.path() / "fake-kill";
    fs::copy_file(TARNWICK_STALE_TOOL_PROBE, lsof);
    fs::copy_file(TARNWICK_STALE_TOOL_PROBE, kill);
    tools = {{"/usr/sbin/lsof", lsof}, {"/bin/kill", kill}};
    fakes.userFolders.homeFolder = folder.path();
    fakes.userFolders.supportFolder = folder.path() / "data";
    fakes.bundle.info["CFBundleShortVersionString"] = std::string("3.1.0");
    delegate = std::make_shared<app::TarnwickAppDelegate>(ports);
  }

  std::string signalled() const { return readFile(kill.string() + ".log"); }

  TemporaryFolder folder;
  fs::path lsof, kill;
  std::map<std::string, fs::path> tools;
  connector::PosixCommandRunner runner;
  fakes::FakePlatform fakes;
  platform::Platform ports{.mainQueue = fakes.mainQueue,
                           .sleeper = fakes.sleeper,
                           .http = fakes.http,
                           .application = fakes.application,
                           .workspace = fakes.workspace,
                           .pasteboard = fakes.pasteboard,
                           .preferences = fakes.preferences,
                           .bundle = fakes.bundle,
                           .loginItems = fakes.loginItems,
                           .deviceOwnerAuth = fakes.deviceOwnerAuth,
                           .userFolders = fakes.userFolders,
                           .commands = runner};
  std::shared_ptr<app::TarnwickAppDelegate> delegate;
};

TEST_F(StaleListener, SignalsOnlyIdsAboveOneInTheListedOrder) {
  writeFile(lsof.string() + ".output",
            "\n  4242 \n\tabc\n1\n0\n-7\n 5150\t\n\n12 13\n31\n2147483648\n");
  delegate->stopStaleConnectorListener();
  EXPECT_EQ(readFile(lsof.string() + ".args"),
            "-nP -tiTCP:8766 -sTCP:LISTEN -a -u " + std::to_string(::getuid()));
  EXPECT_EQ(signalled(), "-TERM 4242\n-TERM 5150\n-TERM 31\n");
}

TEST_F(StaleListener, AMissingListerStopsNothing) {
  tools["/usr/sbin/lsof"] = folder.path() / "no-such-lister";
  delegate->stopStaleConnectorListener();
  EXPECT_FALSE(fs::exists(kill.string() + ".log"));
}

TEST_F(StaleListener, AStaleAnswerMakesTheNextStartSignalTheListenerAndPause) {
  writeFile(lsof.string() + ".output", "777\n");
  delegate->applicationDidFinishLaunching();
  fakes.http.respondNext(fakes::FakeHttpClient::status(200, {{"Server", "TarnwickDesktop/3.0.9"}}));
  // No service manager here: its call fails harmlessly and the start goes on.
  fakes.mainQueue.runUntilIdle();
  EXPECT_EQ(signalled(), "-TERM 777\n");
  EXPECT_EQ(fakes.sleeper.pauses, std::vector<double>{0.25});
  EXPECT_FALSE(delegate->replaceStaleConnector());
}

}  // namespace
}  // namespace tarnwick::integration
