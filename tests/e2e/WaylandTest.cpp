// The shell under a headless Wayland compositor and no X server: the interface loads and a second
// copy hands its link over. (Support control needs X11: without it, it is the no-display case.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

TEST(Wayland, TheInterfaceLoadsAndLinksArriveWithoutAnXServer) {
  StandIn connector;
  ASSERT_FALSE(connector.server()) << "something already listens on 127.0.0.1:8766";
  TemporaryFolder home("tarnwick-wayland-home"), runtime("tarnwick-wayland-runtime");
  ::chmod(runtime.path().c_str(), 0700);
  const Process::Options options{
      .environment = {{"HOME", home.path().string()},
                      {"XDG_RUNTIME_DIR", runtime.path().string()},
                      {"WAYLAND_DISPLAY", "tarnwick-0"},
                      {"GDK_BACKEND", "wayland"},
                      {"NO_AT_BRIDGE", "1"}},
      .unset = {"DISPLAY", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_DIRS",
                "XDG_CONFIG_DIRS", "XDG_CURRENT_DESKTOP"},
      .stderrFile = home.path() / "stderr.txt"};
  Process weston("/usr/bin/weston",
                 {"--backend=headless-backend.so", "--socket=tarnwick-0", "--idle-time=0"},
                 options);
  ASSERT_TRUE(waitUntil([&] { return fs::exists(runtime.path() / "tarnwick-0"); }, 20s));
  auto shell = std::make_unique<Process>(app.string(), Lines{}, options);
  EXPECT_FALSE(connector.waitLog(loaded("/"), 60s).empty()) << readFile(home.path() / "stderr.txt");

  EXPECT_EQ(runCommand(app.string(),
                       {"tarnwick://desktop-pair?server=https://pair.example:9443/s&code=abcd2345"
                        "&completion_url=https://tarnwick.com/done&completion_token=t"},
                       options, 30s)
                .status,
            0);
  auto fields = loaded("/support");
  fields["search"] =
      "?server=https://pair.example:9443/s&code=ABCD2345&completion_url=https://tarnwick.com/done"
      "&completion_token=t";
  EXPECT_FALSE(connector.waitLog(fields, 40s).empty()) << connector.get("/test/log").dump();

  EXPECT_FALSE(shell->wait(0s)) << "the shell ended";
  shell.reset();
  for (int pid : processesOf("Tarnwick Connector", home.path())) {
    endProcess(pid);
  }
}

}  // namespace
}  // namespace tarnwick::e2e
