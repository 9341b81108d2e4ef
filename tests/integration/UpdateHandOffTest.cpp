// An update from the verified download to the replaced bundle: the core on the fakes for the
// window and the network, the real command runner, tools that stand in as shell scripts, and the
// installer script run for real by /bin/sh.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "FakePlatform.h"
#include "Files.h"
#include "Processes.h"
#include "connector/PosixCommandRunner.h"
#include "update/Sha256.h"
#include "update/TarnwickRelease.h"

namespace tarnwick::integration {
namespace {

namespace fs = std::filesystem;
using namespace testsupport;

void makeTool(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  writeFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
}

// A bundle that, like the real one, carries its own copy, reopen and Connector-stop tools.
void makeBundle(const fs::path& bundle, const std::string& version) {
  writeFile((fs::create_directories(bundle / "Contents"), bundle / "Contents" / "version"),
            version);
  const std::string helpers = "echo \"$0 of " + version + ": $*\" >> \"$UPDATE_LOG\"\n";
  makeTool(bundle / "Contents/Helpers/ditto", helpers + "exec /bin/cp -a \"$1\" \"$2\"");
  makeTool(bundle / "Contents/Helpers/open", helpers + "exit 0");
  makeTool(bundle / "Contents/Helpers/launchctl", helpers + "exit 0");
}

// Info values of another bundle, read from its version file.
class VersionFileBundle final : public platform::Bundle {
 public:
  std::optional<fs::path> bundlePath() override { return std::nullopt; }
  std::optional<std::string> bundleIdentifier() override { return std::nullopt; }
  platform::InfoValue infoValue(const std::string&) override { return platform::InfoAbsent{}; }
  platform::InfoValue infoValueAt(const fs::path& bundle, const std::string&) override {
    std::ifstream file(bundle / "Contents" / "version");
    std::string version;
    return std::getline(file, version) ? platform::InfoValue(version) : platform::InfoAbsent{};
  }
};

TEST(UpdateHandOff, TheStagedBundleReplacesTheInstalledOneWhoseOwnToolsAreGoneByThen) {
  TemporaryFolder folder("tarnwick-handoff");
  const fs::path tools = folder.path() / "system tools";
  const fs::path destination = folder.path() / "My Apps" / "Tarnwick.app";
  const fs::path published = folder.path() / "published" / "Tarnwick.app";
  const fs::path log = folder.path() / "log";
  makeBundle(destination, "1.0.0");
  makeBundle(published, "1.0.1");
  writeFile(log, "");
  // The image "attaches" as a copy of the published bundle; the checks pass.
  makeTool(tools / "hdiutil",
           "case \"$1\" in attach) exec /bin/cp -a \"$PUBLISHED\" \"$6/Tarnwick.app\";;\n"
           "detach) exec /bin/rm -rf \"$2\";; esac\nexit 1");
  for (const char* name : {"codesign", "spctl", "xattr"}) {
    makeTool(tools / name, "exit 0");
  }
  // The wait for this very process to exit runs its 200 polls quickly.
  makeTool(tools / "sleep", "exec /bin/sleep 0.001");
  ::setenv("UPDATE_LOG", log.c_str(), 1);
  ::setenv("PUBLISHED", published.c_str(), 1);

  const std::map<std::string, fs::path> locations = {
      {"/usr/bin/hdiutil", tools / "hdiutil"},
      {"/usr/bin/codesign", tools / "codesign"},
      {"/usr/sbin/spctl", tools / "spctl"},
      {"/usr/bin/xattr", tools / "xattr"},
      {"/bin/sleep", tools / "sleep"},
      {"/usr/bin/ditto", destination / "Contents/Helpers/ditto"},
      {"/usr/bin/open", destination / "Contents/Helpers/open"},
      {"/bin/launchctl", destination / "Contents/Helpers/launchctl"},
  };
  connector::PosixCommandRunner runner([&](const std::string& path) {
    auto found = locations.find(path);
    return found == locations.end() ? path : found->second.string();
  });
  fakes::FakePlatform fakes;
  VersionFileBundle bundle;
  fakes.userFolders.temporaryFolder = folder.path() / "tmp";
  fs::create_directories(fakes.userFolders.temporaryFolder);
  platform::Platform ports{.mainQueue = fakes.mainQueue,
                           .sleeper = fakes.sleeper,
                           .http = fakes.http,
                           .application = fakes.application,
                           .workspace = fakes.workspace,
                           .pasteboard = fakes.pasteboard,
                           .preferences = fakes.preferences,
                           .bundle = bundle,
                           .loginItems = fakes.loginItems,
                           .deviceOwnerAuth = fakes.deviceOwnerAuth,
                           .userFolders = fakes.userFolders,
                           .commands = runner};
  auto delegate = std::make_shared<app::TarnwickAppDelegate>(ports);
  delegate->applicationDidFinishLaunching();

  const fs::path image = folder.path() / "download";
  writeFile(image, "the image");
  update::TarnwickRelease release{.version = "1.0.1",
                                  .build = 2,
                                  .downloadURL = "https://tarnwick.com/support/mac/download",
                                  .sha256 = *update::sha256(image)};
  delegate->installUpdate(release, release.downloadURL, destination);
  fakes.http.respond(fakes.http.count() - 1, fakes::FakeHttpClient::status(200), image);
  fakes.mainQueue.advance(platform::Seconds(1));
  ASSERT_TRUE(fakes.application.window->sheets.empty())
      << fakes.application.window->sheets[0].alert.informativeText;
  EXPECT_EQ(fakes.application.events.back(), "terminate");

  // The script ends by removing the work directory.
  ASSERT_TRUE(waitUntil([&] { return fs::is_empty(fakes.userFolders.temporaryFolder); }, 60s))
      << readFile(log);
  EXPECT_EQ(readFile(destination / "Contents" / "version"), "1.0.1");
  // The staging copy ran with the running bundle's own tool; every tool the script ran came from
  // the staged copy, since the installed bundle's are gone once the script removes it.
  std::vector<std::string> lines;
  std::istringstream stream(readFile(log));
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 5U) << readFile(log);
  EXPECT_TRUE(lines[0].starts_with(destination.string() + "/Contents/Helpers/ditto of 1.0.0: "));
  const std::string staged = "/Tarnwick.app/Contents/Helpers/";
  const std::vector<std::string> script = {
      "launchctl of 1.0.1: bootout gui/" + std::to_string(::getuid()) + "/com.tarnwick.desktop",
      "ditto of 1.0.1: " + destination.string() + " ",
      "ditto of 1.0.1: ", "open of 1.0.1: -n " + destination.string()};
  for (std::size_t index = 0; index < script.size(); ++index) {
    const auto& line = lines[index + 1];
    EXPECT_TRUE(line.starts_with(fakes.userFolders.temporaryFolder.string() + "/TarnwickUpdate-"))
        << line;
    EXPECT_NE(line.find(staged + script[index]), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace tarnwick::integration
