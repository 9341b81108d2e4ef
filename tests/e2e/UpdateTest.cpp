// The update check and self-update in one session: the bundle in "My Apps", the stand-in service
// host on the manifest's own port offering a signed 1.0.1. A download that fails its checksum
// changes nothing; the verified one replaces the bundle in place and reopens it.
#include <gtest/gtest.h>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

TEST(Update, TheCheckOffersAVerifiedReleaseAndInstallsItInPlace) {
  const fs::path signing = TARNWICK_SIGNING_DIR;
  if (signing.empty()) {
    GTEST_SKIP() << "built against a real release root: no test signing identity";
  }
  StandIn connector;
  ASSERT_FALSE(connector.server()) << "something already listens on 127.0.0.1:8766";
  TemporaryFolder folder("tarnwick-update");
  const auto installed = folder.path() / "My Apps/Tarnwick.app",
             release = folder.path() / "release", temporary = folder.path() / "tmp",
             mode = folder.path() / "mode", manifests = folder.path() / "requests.jsonl";
  fs::create_directories(installed.parent_path());
  fs::create_directories(temporary);
  ASSERT_EQ(runCommand("/bin/cp", {"-a", TARNWICK_BUNDLE_DIR, installed.string()}).status, 0);
  ASSERT_EQ(
      runCommand("/bin/sh",
                 {TARNWICK_PUBLISH_RELEASE, "--bundle", TARNWICK_BUNDLE_DIR, "--version", "1.0.1",
                  "--build", "2", "--url", "https://tarnwick.com/support/mac/download", "--out",
                  release.string(), "--key", (signing / "signing.key").string(), "--cert",
                  (signing / "signing.pem").string(), "--release-tool", TARNWICK_RELEASE_TOOL},
                 {}, 120s)
          .status,
      0);
  writeFile(mode, "version-" + version + "\n");
  ServiceHost service(
      folder.path(), 443,
      {"--download-image", (release / "Tarnwick.dmg").string(), "--download-mode", "slow-4"},
      {{"TARNWICK_SERVICE_MANIFEST_MODE", mode.string()},
       {"TARNWICK_SERVICE_MANIFEST_REQUESTS", manifests.string()}});
  ASSERT_TRUE(service.ready) << "the stand-in service host did not start on port 443";
  Session session;
  auto asked = [&] { return linesOf(readFile(manifests)).size(); };
  // A check chosen while another is answered is dropped: choose again until the service is asked.
  auto check = [&](const std::string& manifest) {
    writeFile(mode, manifest + "\n");
    const auto before = asked();
    auto asks = [&] { return waitUntil([&] { return asked() > before; }, 5s); };
    return waitUntil([&] { return session.pressNamed("Check for Updates\u2026") && asks(); }, 30s);
  };

  ASSERT_TRUE(session.launch({}, service.wrapper(), {{"TMPDIR", temporary.string()}},
                             installed / "Contents/MacOS/Tarnwick"));
  ASSERT_FALSE(connector.waitLog(loaded("/"), 60s).empty()) << "the interface never loaded";
  ASSERT_TRUE(waitUntil([&] { return asked() == 1; }, 30s)) << "no automatic check";

  // The stand-in's own digest, not the image's: the download fails its check.
  const auto before = treeOf(installed);
  ASSERT_TRUE(check("version-1.0.1"));
  ASSERT_TRUE(session.waitText("Tarnwick 1.0.1 Is Available"));
  auto lines = session.texts();
  EXPECT_TRUE(contains(lines, "button: Install and Relaunch") && contains(lines, "button: Later"));
  EXPECT_NE(readFile(session.home.path() / ".config/Tarnwick/preferences.ini")
                .find("TarnwickLastUpdatePromptVersion=1.0.1"),
            std::string::npos);
  ASSERT_TRUE(connector.clear("/test/log"));
  ASSERT_TRUE(session.pressNamed("Install and Relaunch"));
  EXPECT_TRUE(session.waitText(
      "This update was not installed because the download did not match the checksum Tarnwick "
      "published. Nothing on this Mac was changed. Try again from Tarnwick \u2192 Check for "
      "Updates\u2026",
      90s))
      << ::testing::PrintToString(session.texts());
  EXPECT_TRUE(session.waitText("Tarnwick Could Not Update", 5s));
  EXPECT_FALSE(connector.waitLog(loaded("/"), 60s).empty()) << "the interface did not come back";
  EXPECT_TRUE(treeOf(installed) == before) << "the installed bundle changed";
  EXPECT_TRUE(waitUntil([&] { return fs::is_empty(temporary); }, 10s));
  ASSERT_TRUE(session.pressNamed("OK"));

  ASSERT_TRUE(check("file " + (release / "latest.json").string()));
  ASSERT_TRUE(session.waitText("Tarnwick 1.0.1 Is Available"));
  ASSERT_TRUE(session.pressNamed("Install and Relaunch"));
  EXPECT_TRUE(session.waitText("Downloading Tarnwick 1.0.1\u2026", 20s));
  ASSERT_EQ(session.shell->wait(60s), 0) << "the old copy did not quit";
  std::vector<int> reopened;
  auto reopens = [&] { return !(reopened = processesOf("Tarnwick", session.home.path())).empty(); };
  ASSERT_TRUE(waitUntil(reopens, 60s)) << "nothing was reopened";
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(reopened[0]) + "/exe"),
            installed / "Contents/MacOS/Tarnwick");
  EXPECT_TRUE(waitUntil([&] { return connector.server() == "TarnwickDesktop/1.0.1"; }, 60s))
      << "the new copy's own Connector never answered";
  EXPECT_TRUE(waitUntil([&] { return fs::is_empty(temporary); }, 30s)) << "the work folder stayed";
  for (int pid : reopened) {
    endProcess(pid);
  }
}

}  // namespace
}  // namespace tarnwick::e2e
