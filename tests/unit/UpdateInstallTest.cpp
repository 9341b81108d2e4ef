#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "FakePlatform.h"
#include "TemporaryTree.h"
#include "app/StatusPage.h"
#include "update/InstallerScript.h"
#include "update/Sha256.h"
#include "update/TarnwickRelease.h"
#include "update/UpdateInstall.h"

namespace tarnwick::app {
namespace {

namespace fs = std::filesystem;
using fakes::FakeCommandRunner;
using fakes::FakeHttpClient;
using fakes::FakePlatform;
using platform::HttpResponse;
using platform::Seconds;
using Call = FakeCommandRunner::Call;
using Kind = FakeCommandRunner::Call::Kind;

const std::string imageBytes = "a signed image";
const std::string downloadURL = "https://tarnwick.com/support/mac/download";

std::string readAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// What a stage of the staging does wrong, if anything.
enum class Fault {
  none,
  attach,
  sourceAbsent,
  codesign,
  spctl,
  olderBuild,
  ditto,
  scriptBlocked,
};

class UpdateInstall : public testing::Test {
 protected:
  UpdateInstall() {
    platform.bundle.info["CFBundleShortVersionString"] = std::string("1.0.0");
    platform.userFolders.temporaryFolder = tree.root() / "tmp";
    fs::create_directories(platform.userFolders.temporaryFolder);
    destination = tree.root() / "My Apps" / "Tarnwick.app";
    fs::create_directories(destination);
    // In upper case: the digests compare without regard to case.
    std::string digest = *update::sha256(writeDownload());
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    release = {.version = "1.0.1", .build = 7, .downloadURL = downloadURL, .sha256 = digest};
    fs::remove(downloaded());
    delegate = platform.makeDelegate();
    delegate->applicationDidFinishLaunching();
    platform.http.respondNext(FakeHttpClient::status(200, {{"Server", "TarnwickDesktop/1.0.0"}}));
    platform.mainQueue.runUntilIdle();
    platform.commands.answer = [this](const Call& call) { return tool(call); };
  }

  fs::path downloaded() const { return tree.root() / "download.tmp"; }
  fs::path writeDownload(const std::string& bytes = imageBytes) const {
    std::ofstream(downloaded(), std::ios::binary) << bytes;
    return downloaded();
  }

  // The tools as they would act on the files, with the chosen fault.
  bool tool(const Call& call) {
    const auto& arguments = call.arguments;
    if (call.path == update::tools::hdiutil && arguments.at(0) == "attach") {
      if (fault == Fault::attach) {
        return false;
      }
      fs::path source = fs::path(arguments.at(5)) / "Tarnwick.app";
      if (fault != Fault::sourceAbsent) {
        fs::create_directories(source);
      }
      platform.bundle.otherInfo[{source, "CFBundleShortVersionString"}] =
          std::string(fault == Fault::olderBuild ? "0.9.0" : "1.0.1");
      return true;
    }
    if (call.path == update::tools::codesign) {
      return fault != Fault::codesign;
    }
    if (call.path == update::tools::spctl) {
      return fault != Fault::spctl;
    }
    if (call.path == update::tools::ditto) {
      if (fault == Fault::ditto) {
        return false;
      }
      fs::create_directories(arguments.at(1));
      if (fault == Fault::scriptBlocked) {
        fs::create_directories(fs::path(arguments.at(1)).parent_path() / "install.sh" / "x");
      }
      return true;
    }
    return call.path == update::tools::hdiutil || call.path == update::tools::xattr;
  }

  // Starts the installation and answers the download; the loader side runs on this thread.
  void install(const HttpResponse& response, std::optional<fs::path> file) {
    delegate->installUpdate(release, downloadURL, destination);
    platform.http.respond(platform.http.count() - 1, response, file);
    platform.mainQueue.runUntilIdle();
  }
  void installGood() { install(FakeHttpClient::status(200), writeDownload()); }

  std::vector<fs::path> workDirectories() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(platform.userFolders.temporaryFolder)) {
      found.push_back(entry.path());
    }
    return found;
  }
  // The tools run, by their names and first argument, in order.
  std::vector<std::string> toolsRun() const {
    std::vector<std::string> names;
    for (const auto& call : platform.commands.calls) {
      std::string name = fs::path(call.path).filename().string();
      if (name == "hdiutil" || name == "sh") {
        name += " " + call.arguments.at(0).substr(0, 6);
      }
      names.push_back(name);
    }
    return names;
  }
  std::vector<std::string> statusTexts() const {
    std::vector<std::string> texts;
    for (const auto& load : platform.application.webView->loads) {
      if (load.kind == fakes::FakeWebView::Load::Kind::html) {
        texts.push_back(load.content);
      }
    }
    return texts;
  }

  testing_support::TemporaryTree tree;
  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate;
  update::TarnwickRelease release;
  fs::path destination;
  Fault fault = Fault::none;
};

TEST_F(UpdateInstall, EveryFailureShowsItsOneSheetRemovesTheWorkAndReconnects) {
  struct Case {
    const char* name;
    Fault fault;
    std::optional<HttpResponse> response;  // default: 200 with the good image
    std::string bytes;
    std::string_view reason;
    std::vector<std::string> tools;
  };
  const std::vector<Case> cases = {
      {"transport error",
       Fault::none,
       FakeHttpClient::transportError("reset"),
       imageBytes,
       update::reasons::download,
       {}},
      {"404", Fault::none, FakeHttpClient::status(404), imageBytes, update::reasons::download, {}},
      {"500", Fault::none, FakeHttpClient::status(500), imageBytes, update::reasons::download, {}},
      {"HTML page with 200",
       Fault::none,
       std::nullopt,
       "<html>Not here</html>",
       update::reasons::checksum,
       {}},
      {"empty body", Fault::none, std::nullopt, "", update::reasons::checksum, {}},
      {"attach",
       Fault::attach,
       std::nullopt,
       imageBytes,
       update::reasons::open,
       {"hdiutil attach"}},
      {"no app in the image",
       Fault::sourceAbsent,
       std::nullopt,
       imageBytes,
       update::reasons::signature,
       {"hdiutil attach", "hdiutil detach"}},
      {"signature",
       Fault::codesign,
       std::nullopt,
       imageBytes,
       update::reasons::signature,
       {"hdiutil attach", "codesign", "hdiutil detach"}},
      {"assessment",
       Fault::spctl,
       std::nullopt,
       imageBytes,
       update::reasons::signature,
       {"hdiutil attach", "codesign", "spctl", "hdiutil detach"}},
      {"older signed build",
       Fault::olderBuild,
       std::nullopt,
       imageBytes,
       update::reasons::signature,
       {"hdiutil attach", "codesign", "spctl", "hdiutil detach"}},
      {"copy",
       Fault::ditto,
       std::nullopt,
       imageBytes,
       update::reasons::unpack,
       {"hdiutil attach", "codesign", "spctl", "ditto", "hdiutil detach"}},
      {"script",
       Fault::scriptBlocked,
       std::nullopt,
       imageBytes,
       update::reasons::write,
       {"hdiutil attach", "codesign", "spctl", "ditto", "hdiutil detach", "xattr"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fault = c.fault;
    platform.commands.calls.clear();
    platform.application.window->sheets.clear();
    auto requests = platform.http.count();
    install(c.response.value_or(FakeHttpClient::status(200)), writeDownload(c.bytes));

    ASSERT_EQ(platform.application.window->sheets.size(), 1U);
    const auto& alert = platform.application.window->sheets[0].alert;
    EXPECT_EQ(alert.messageText, "Tarnwick Could Not Update");
    EXPECT_EQ(alert.informativeText,
              "This update was not installed because " + std::string(c.reason) +
                  ". Nothing on this Mac was changed. Try again from Tarnwick \u2192 Check for "
                  "Updates\u2026");
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(workDirectories().empty());
    EXPECT_TRUE(fs::exists(destination));
    EXPECT_EQ(toolsRun(), c.tools);
    EXPECT_EQ(delegate->attempts(), 0);
    ASSERT_EQ(platform.http.count(), requests + 2) << "the download, then the reconnect";
    EXPECT_EQ(platform.http.request(requests + 1).url, "http://127.0.0.1:8766/");
    platform.http.respondNext(FakeHttpClient::status(200, {{"Server", "TarnwickDesktop/1.0.0"}}));
    platform.mainQueue.advance(Seconds(10));
    EXPECT_EQ(platform.application.webView->requestedURLs().back(), "http://127.0.0.1:8766/");
    EXPECT_TRUE(std::find(platform.application.events.begin(), platform.application.events.end(),
                          "terminate") == platform.application.events.end());
  }
}

TEST_F(UpdateInstall, PreparingFailsWhenTheWorkDirectoryOrTheMoveCannotBeMade) {
  // The temporary folder is a file: nothing can be made inside it.
  auto temporary = platform.userFolders.temporaryFolder;
  platform.userFolders.temporaryFolder = tree.file("not-a-folder", fs::perms::owner_all);
  installGood();
  // The download's file has vanished before the move.
  platform.userFolders.temporaryFolder = temporary;
  install(FakeHttpClient::status(200), tree.root() / "gone.tmp");
  install(FakeHttpClient::status(200), std::nullopt);

  const auto& sheets = platform.application.window->sheets;
  ASSERT_EQ(sheets.size(), 3U);
  EXPECT_NE(sheets[0].alert.informativeText.find(update::reasons::prepare), std::string::npos);
  EXPECT_NE(sheets[1].alert.informativeText.find(update::reasons::prepare), std::string::npos);
  EXPECT_NE(sheets[2].alert.informativeText.find(update::reasons::download), std::string::npos);
  EXPECT_TRUE(workDirectories().empty());
  EXPECT_TRUE(platform.commands.calls.empty());
}

TEST_F(UpdateInstall, SuccessStagesRunsTheInstallerAndQuitsSixTenthsOfASecondLater) {
  installGood();
  auto request = platform.http.request(1);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.url, downloadURL);
  EXPECT_EQ(request.timeout, Seconds(600));
  EXPECT_EQ(request.cachePolicy, platform::CachePolicy::reloadIgnoringLocalAndRemoteCache);
  EXPECT_EQ(request.headers, (platform::HeaderList{{"User-Agent", "Tarnwick/1.0.0 macOS"}}));

  EXPECT_EQ(statusTexts(), (std::vector<std::string>{
                               statusPageHTML("Connecting to Tarnwick\u2026"),
                               statusPageHTML("Downloading Tarnwick 1.0.1\u2026"),
                               statusPageHTML("Verifying Tarnwick 1.0.1\u2026"),
                               statusPageHTML("Installing Tarnwick 1.0.1 and reopening\u2026")}));
  EXPECT_TRUE(platform.application.window->sheets.empty());

  auto work = workDirectories();
  ASSERT_EQ(work.size(), 1U);
  const fs::path w = work[0];
  std::string name = w.filename().string();
  ASSERT_EQ(name.size(), 15U + 36U);
  EXPECT_EQ(name.substr(0, 15), "TarnwickUpdate-");
  std::string uuid = name.substr(15);
  EXPECT_EQ(uuid.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
  EXPECT_EQ(uuid[14], '4');
  EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos);

  const std::string image = (w / "Tarnwick.dmg").string();
  const std::string mount = (w / "mount").string();
  const std::string source = (w / "mount" / "Tarnwick.app").string();
  const std::string staged = (w / "Tarnwick.app").string();
  const std::string script = (w / "install.sh").string();
  std::vector<Call> expected = {
      {Kind::run,
       "/usr/bin/hdiutil",
       {"attach", image, "-nobrowse", "-readonly", "-mountpoint", mount, "-quiet"}},
      {Kind::run,
       "/usr/bin/codesign",
       {"--verify", "--deep", "--strict", "-R",
        "=anchor apple generic and identifier \"com.ostrel.tarnwick.launcher\" and certificate "
        "leaf[subject.OU] = \"K7QW3ZTN8R\"",
        source}},
      {Kind::run, "/usr/sbin/spctl", {"--assess", "--type", "execute", source}},
      {Kind::run, "/usr/bin/ditto", {source, staged}},
      {Kind::run, "/usr/bin/hdiutil", {"detach", mount, "-quiet"}},
      {Kind::run, "/usr/bin/xattr", {"-dr", "com.apple.quarantine", staged}},
      {Kind::launched,
       "/bin/sh",
       {script, std::to_string(::getpid()), staged, destination.string(), w.string()}},
  };
  EXPECT_EQ(platform.commands.calls, expected);
  EXPECT_EQ(readAll(w / "Tarnwick.dmg"), imageBytes);
  EXPECT_FALSE(fs::exists(downloaded()));
  EXPECT_EQ(readAll(script), update::installerScript({}));
  struct stat info {};
  ASSERT_EQ(::stat(script.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755U);

  auto terminated = [&] {
    return std::count(platform.application.events.begin(), platform.application.events.end(),
                      "terminate");
  };
  platform.mainQueue.advance(Seconds(0.59));
  EXPECT_EQ(terminated(), 0);
  platform.mainQueue.advance(Seconds(0.01));
  EXPECT_EQ(terminated(), 1);
  platform.mainQueue.advance(Seconds(10));
  EXPECT_EQ(terminated(), 1);
  EXPECT_TRUE(fs::exists(w)) << "the installer removes the work directory, not the app";
}

TEST_F(UpdateInstall, InstallerThatCannotStartIsReportedAndItsWorkRemoved) {
  platform.commands.launchResult = false;
  installGood();
  ASSERT_EQ(platform.application.window->sheets.size(), 1U);
  EXPECT_NE(platform.application.window->sheets[0].alert.informativeText.find(
                "because the installer could not be started."),
            std::string::npos);
  EXPECT_TRUE(workDirectories().empty());
  ASSERT_EQ(platform.commands.calls.back().kind, Kind::launched);
  EXPECT_EQ(toolsRun().size(), 7U);
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_EQ(platform.http.request(platform.http.count() - 1).url, "http://127.0.0.1:8766/");
  platform.mainQueue.advance(Seconds(10));
  EXPECT_EQ(std::count(platform.application.events.begin(), platform.application.events.end(),
                       "terminate"),
            0);
}

TEST_F(UpdateInstall, NothingHappensOnceTheDelegateIsGone) {
  delegate->installUpdate(release, downloadURL, destination);
  delegate.reset();
  platform.http.respond(platform.http.count() - 1, FakeHttpClient::status(200), writeDownload());
  platform.mainQueue.advance(Seconds(10));
  EXPECT_TRUE(platform.commands.calls.empty());
  EXPECT_TRUE(workDirectories().empty());
  EXPECT_TRUE(fs::exists(downloaded()));
}

TEST_F(UpdateInstall, ADelegateReleasedWhileVerifyingEndsOnTheMainQueueNotTheLoaderSide) {
  std::weak_ptr<TarnwickAppDelegate> watched = delegate;
  platform.commands.answer = [this](const Call& call) {
    delegate.reset();  // the application lets go while the tools run
    return tool(call);
  };
  watched.lock()->installUpdate(release, downloadURL, destination);
  platform.http.respond(platform.http.count() - 1, FakeHttpClient::status(200), writeDownload());
  EXPECT_FALSE(watched.expired());
  platform.mainQueue.advance(Seconds(1));
  EXPECT_TRUE(watched.expired());
}

TEST_F(UpdateInstall, ScriptNamesToolsWhereTheSystemKeepsThemAndNeverInsideTheOldBundle) {
  platform.commands.toolLocations = {
      {"/usr/bin/ditto", (destination / "Contents/Helpers/ditto").string()},
      {"/usr/bin/open", "/opt/tarnwick tools/open"},
  };
  installGood();
  auto work = workDirectories();
  ASSERT_EQ(work.size(), 1U);
  std::string script = readAll(work[0] / "install.sh");
  EXPECT_EQ(script.find(destination.string()), std::string::npos);
  EXPECT_NE(script.find("'/opt/tarnwick tools/open' -n \"$DEST\""), std::string::npos);
  EXPECT_NE(
      script.find(update::shellWord((work[0] / "Tarnwick.app/Contents/Helpers/ditto").string()) +
                  " \"$SRC\" \"$DEST\""),
      std::string::npos);
}

}  // namespace
}  // namespace tarnwick::app

namespace tarnwick::update {
namespace {

TEST(InstallerScript, WithTheCanonicalToolsIsThePlainScriptPlusTheBackupGuard) {
  EXPECT_EQ(installerScript({}),
            "#!/bin/sh\n"
            "# Replace Tarnwick once the running copy has exited, then reopen it.\n"
            "PID=\"$1\"\n"
            "SRC=\"$2\"\n"
            "DEST=\"$3\"\n"
            "WORK=\"$4\"\n"
            "i=0\n"
            "while [ $i -lt 200 ] && /bin/kill -0 \"$PID\" 2>/dev/null; do\n"
            "  /bin/sleep 0.1\n"
            "  i=$((i + 1))\n"
            "done\n"
            "/bin/launchctl bootout \"gui/$(/usr/bin/id -u)/com.tarnwick.desktop\" 2>/dev/null\n"
            "/usr/bin/ditto \"$DEST\" \"$WORK/previous.app\" 2>/dev/null\n"
            "[ $? -eq 0 ] || { /usr/bin/open -n \"$DEST\"; /bin/sleep 8; /bin/rm -rf \"$WORK\"; "
            "exit 1; }\n"
            "/bin/rm -rf \"$DEST\"\n"
            "if ! /usr/bin/ditto \"$SRC\" \"$DEST\"; then\n"
            "  /bin/rm -rf \"$DEST\"\n"
            "  /usr/bin/ditto \"$WORK/previous.app\" \"$DEST\" 2>/dev/null\n"
            "fi\n"
            "/usr/bin/open -n \"$DEST\"\n"
            "/bin/sleep 8\n"
            "/bin/rm -rf \"$WORK\"");
}

TEST(InstallerScript, ShellWordsAndToolsOutsideTheReplacedBundle) {
  EXPECT_EQ(shellWord("/usr/bin/ditto"), "/usr/bin/ditto");
  EXPECT_EQ(shellWord("/My Apps/t"), "'/My Apps/t'");
  EXPECT_EQ(shellWord("/a'b$c"), "'/a'\\''b$c'");
  EXPECT_EQ(shellWord(""), "''");

  const std::filesystem::path dest = "/home/u/My Apps/Tarnwick.app";
  const std::filesystem::path staged = "/tmp/W/Tarnwick.app";
  struct Case {
    std::string location, expected;
  };
  for (const auto& [location, expected] : std::vector<Case>{
           {"/home/u/My Apps/Tarnwick.app/Contents/Helpers/ditto",
            "/tmp/W/Tarnwick.app/Contents/Helpers/ditto"},
           {"/home/u/My Apps/Tarnwick.app/./Contents/../Contents/x",
            "/tmp/W/Tarnwick.app/Contents/x"},
           {"/home/u/My Apps/Tarnwick.app.old/x", "/home/u/My Apps/Tarnwick.app.old/x"},
           {"/home/u/My Apps/Tarnwick.app", "/home/u/My Apps/Tarnwick.app"},
           {"/usr/bin/ditto", "/usr/bin/ditto"},
       }) {
    EXPECT_EQ(toolOutsideReplacedBundle(location, dest, staged), expected) << location;
  }
}

TEST(Sha256, DigestsAcrossChunkBoundariesAndNothingForUnreadableFiles) {
  testing_support::TemporaryTree tree;
  struct Case {
    std::size_t size;
    const char* digest;
  };
  for (const auto& [size, digest] : std::vector<Case>{
           {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
           {1 << 20, "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769"},
           {(1 << 20) + 1, "5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56"},
           {3 * (1 << 20) - 7, "ef59be54c318d293f4b24f5e1a3a36440d713d37beabd2f50877cbeeee4e3749"},
       }) {
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index) {
      bytes[index] = static_cast<char>(index % 251);
    }
    auto path = tree.file("f" + std::to_string(size), std::filesystem::perms::owner_read, bytes);
    EXPECT_EQ(sha256(path), std::optional<std::string>(digest)) << size;
  }
  EXPECT_EQ(sha256(tree.root() / "missing"), std::nullopt);
  EXPECT_EQ(sha256(tree.root()), std::nullopt);
}

TEST(WorkDirectory, IsRemovedWithReadOnlyFoldersInsideButNothingOutsideIsOpenedUp) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs to run the removal as an unprivileged user";
  }
  namespace fs = std::filesystem;
  testing_support::TemporaryTree tree;
  const uid_t nobody = 65534;
  // Like the temporary folder: anyone may make and remove their own folders in it.
  fs::permissions(tree.root(), fs::perms::all | fs::perms::sticky_bit);
  const fs::path work = tree.root() / "TarnwickUpdate-X";
  const fs::path outside = tree.root() / "outside";
  tree.file("TarnwickUpdate-X/mount/Tarnwick.app/Contents/Info.plist", fs::perms::owner_read);
  tree.file("TarnwickUpdate-X/mount/locked/file", fs::perms::owner_read);
  tree.file("outside/file", fs::perms::owner_read);
  fs::create_directory_symlink(outside, work / "mount" / "link");
  for (const auto& path : {work, work / "mount", work / "mount/Tarnwick.app",
                           work / "mount/Tarnwick.app/Contents", work / "mount/locked", outside}) {
    ASSERT_EQ(::chown(path.c_str(), nobody, nobody), 0);
  }
  fs::permissions(work / "mount" / "locked", fs::perms::none);
  fs::permissions(work / "mount", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(outside, fs::perms::owner_read | fs::perms::owner_exec);

  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
      ::_exit(2);
    }
    removeWorkDirectory(work);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(fs::exists(work));
  EXPECT_TRUE(fs::exists(outside / "file"));
  EXPECT_EQ(fs::status(outside).permissions(), fs::perms::owner_read | fs::perms::owner_exec);
}

}  // namespace
}  // namespace tarnwick::update
