// The release manifest and its rules, the update check and prompt, download and verification, and
// the installer hand-off.
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <regex>

#include "Shell.h"
#include "update/InstallerScript.h"
#include "update/ReleaseManifest.h"
#include "update/Sha256.h"

namespace tarnwick::testing_support {
namespace {

using namespace update;
using namespace std::chrono_literals;
using namespace std::string_literals;

const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string download = "https://tarnwick.com/support/mac/download";

TEST(ReleaseManifest, DecodesFiveMembersTrustsItsAddressAndComparesVersionsAsNumbers) {
  // members after version, download_url and sha256 | build and notes decoded, or "-"
  for (const char* row :
       {R"(,"build":-1,"release_notes":null|-1 )",
        R"(,"build":57,"release_notes":" Fixes."|57  Fixes.)", R"(,"build":57,"release_notes":5|-)",
        R"(,"build":7,"x":{},"Build":""|7 )", R"(,"build":"57"|-)", "|-", R"(,"build":1} x|-)",
        R"(,"build":9223372036854775808|-)", R"(,"build":1,"sha256":null|-)"}) {
    auto release =
        decodeRelease(R"({"version":"1","download_url":"u","sha256":"s")" + cells(row)[0] + "}");
    EXPECT_EQ(release
                  ? release->version + release->downloadURL + release->sha256 + " " +
                        std::to_string(release->build) + " " + release->releaseNotes.value_or("")
                  : "-",
              cells(row)[1] == "-" ? "-" : "1us " + cells(row)[1])
        << row;
  }
  EXPECT_EQ(
      decodeRelease(
          R"({"version":"2.1.0","build":3,"download_url":"u","sha256":"s","release_notes":"n"})"),
      (TarnwickRelease{"2.1.0", 3, "u", "s", "n"}));
  for (const std::string& text :
       {R"({"build":1,"download_url":"u","sha256":"s"})"s,
        R"({"version":"1","build":1,"sha256":"s"})"s, std::string(maximumManifestSize + 1, ' ')}) {
    EXPECT_EQ(decodeRelease(text), std::nullopt) << text.substr(0, 40);
  }
  // version | digest ($D the published one) | address ($U the download's) | trusted
  const std::map<char, std::string> marks = {
      {'D', digest}, {'d', digest.substr(6)}, {'U', download}, {'H', "/support/mac/download"}};
  expectRows(expand("01.4.2|$D|https://tarnwick.com:8443$H|1;01.4.2|$D|HTTPS://TARNWICK.COM$H|1;"
                    "1.4|$D|$U|0;v1.4.2|$D|$U|0;01.4.2a|$D|$U|0;1.4.2.0|$D|$U|0;1..4|$D|$U|0;"
                    "1.4.2|12345$d|$U|0;1.4.2|$D0|$U|0;1.4.2|ABCDEF$d|$U|0;"
                    "1.4.2|$D|http://tarnwick.com$H|0;1.4.2|$D|https://me@tarnwick.com$H|0;"
                    "1.4.2|$D|https://:p@tarnwick.com$H|0;1.4.2|$D|https://example.com$H|0;"
                    "1.4.2|$D|https://www.tarnwick.com$H|0;1.4.2|$D|$U/|0;1.4.2|$D|$U?x=1|0;"
                    "1.4.2|$D|$U?|0;1.4.2|$D|$U#|0;1.4.2|$D|$Ux|0",
                    marks),
             [](auto& cell) -> std::string {
               auto found = trustedDownloadURL({cell[0], 1, cell[2], cell[1], {}});
               return !found ? "0" : *found == cell[2] ? "1" : *found;
             });
  // candidate | current | newer (1) or not (0)
  expectRows(
      "1.10.0|1.9.9|1;1.9.9|1.10.0|0;1.2.1|1.2|1;1.2|1.2.0|0;2.0.0|2.0.0-beta|0;"
      "1.2.3|1.2.x|1;1.0|1.0.0.0|0;1.0.0.1|1.0.0|1;||0;1..2|1.2|0;.1.2.|1.1|1;01.4.2|1.4.1|1;"
      "+2|1|1;-1|0|0;0|-1|1;+-2|1|0;1. 2|1.1|0;9223372036854775807|9223372036854775806|1;"
      "9223372036854775808|1|0;1.\u0662|1.1|0;1|1.-1|1",
      [](auto& cell) { return std::to_string(isNewerVersion(cell[0], cell[1])); });
}

std::string manifest(const std::string& version, const std::string& extra = "",
                     const std::string& url = download, int build = 57) {
  return R"({"version":")" + version + R"(","build":)" + std::to_string(build) +
         R"(,"download_url":")" + url + R"(","sha256":")" + digest + "\"" + extra + "}";
}
HttpResponse ok(const std::string& body) {
  return FakeHttpClient::status(200, {}, body);
}
constexpr const char* manifestURL = "https://tarnwick.com/support/mac/latest.json";

class UpdateCheck : public Shell {
 protected:
  UpdateCheck() {
    platform.bundle.path = tree.root / "Tarnwick.app";
    fs::create_directories(*platform.bundle.path);
    platform.preferences.clock = platform::Date(500000h);
    launch();
  }
  void check(bool manual, const HttpResponse& response) {
    delegate->checkForUpdates(manual);
    platform.http.respondNext(response, manifestURL);
    platform.mainQueue.runUntilIdle();
  }
  std::string record() {
    auto& preferences = platform.preferences;
    return preferences.strings["TarnwickLastUpdatePromptVersion"] + " " +
           (preferences.dates.contains("TarnwickLastUpdatePromptDate")
                ? std::to_string(
                      (preferences.clock - preferences.dates["TarnwickLastUpdatePromptDate"]) / 1s)
                : "-");
  }
};

TEST_F(UpdateCheck, AManualCheckWithoutAnOfferHandsItsNoteToTheInterfaceReportAndOneRunsAtATime) {
  platform.mainQueue.advance(Seconds(5));
  delegate->checkForUpdatesFromMenu();
  ASSERT_EQ(platform.http.unanswered(manifestURL), 1U)
      << "a manual check while one runs does nothing";
  const auto& request = platform.http.request(1);
  EXPECT_EQ(std::tie(request.method, request.headers, request.timeout, request.cachePolicy),
            std::make_tuple("GET",
                            platform::HeaderList{{"Cache-Control", "no-cache"},
                                                 {"User-Agent", "Tarnwick/2.0.1 macOS"}},
                            Seconds(10), platform::CachePolicy::reloadIgnoringLocalAndRemoteCache));
  platform.http.respondNext(ok(manifest("2.0.1")), manifestURL);
  platform.mainQueue.runUntilIdle();
  EXPECT_FALSE(delegate->updateCheckInProgress());
  EXPECT_TRUE(window().sheets.empty() && page().scripts.empty()) << "the automatic check is silent";
  auto broken = ok(manifest("9.0.0"));
  broken.transportError = "reset";
  // The first nine are not an offer the app can trust; the rest offer nothing newer.
  const std::vector<HttpResponse> answers = {
      FakeHttpClient::transportError("timed out"),
      broken,
      FakeHttpClient::status(500, {}, manifest("9.0.0")),
      FakeHttpClient::status(204),
      ok("<html>busy</html>"),
      FakeHttpClient::status(304, {}, manifest("9.0.0")),
      ok(manifest("9.0.0", "", download, 0)),
      ok(manifest("9.0.0", "", "https://example.com/support/mac/download")),
      ok(manifest("9.0")),
      ok(manifest("2.0.1")),
      ok(manifest("1.9.9")),
      ok(manifest("2.0.01"))};
  for (std::size_t at = 0; at < answers.size(); ++at) {
    check(true, answers[at]);
    page().scripts.back().second(std::nullopt);  // the page is not ready
    EXPECT_EQ(sheet(),
              "Tarnwick|" +
                  std::string(at < 9 ? "The Mac app update service could not be reached, so the "
                                       "Mac app (2.0.1) was not checked."
                                     : "The Mac app itself, 2.0.1, is also the newest; it changes "
                                       "only when the app is rebuilt, so it can stand still for "
                                       "months.") +
                  " The interface could not be checked because it has not finished loading; try "
                  "again in a moment.|informational|OK")
        << at;
    check(false, answers[at]);
  }
  EXPECT_EQ(window().sheets.size(), 12U) << "automatic checks stay silent";
  EXPECT_EQ(record(), " -");
}

TEST_F(UpdateCheck, AnAutomaticPromptComesOncePerVersionAndDayAManualOneAlways) {
  auto& preferences = platform.preferences;
  // recorded version | prompted this many seconds ago ("-" for no date) | version offered | shown
  for (const auto& row : rows("||2.1.0|1;2.1.0|-|2.1.0|1;2.1.0|86399|2.1.0|0;"
                              "2.1.0|86399|2.1.1|1;2.1.0|86400|2.1.0|1;"
                              "2.1.0|-172800|2.1.0|0")) {
    auto cell = cells(row);
    preferences.strings = {{"TarnwickLastUpdatePromptVersion", cell[0]}};
    preferences.dates.clear();
    if (cell[1] != "-" && !cell[1].empty()) {
      preferences.dates["TarnwickLastUpdatePromptDate"] =
          preferences.clock - std::stoi(cell[1]) * 1s;
    }
    EXPECT_EQ(delegate->shouldPrompt(cell[2]), cell[3] == "1") << row;
  }
  preferences.strings.clear();
  preferences.dates.clear();
  check(false, ok(manifest("2.1.0")));
  EXPECT_EQ(record(), "2.1.0 0");
  check(false, ok(manifest("2.1.0")));  // the same version again within the day is silent
  EXPECT_EQ(window().sheets.size(), 1U);
  preferences.clock += 1h;
  check(true, ok(manifest("2.1.1")));
  EXPECT_EQ(window().sheets.size(), 2U);
  EXPECT_EQ(record(), "2.1.1 0");
  EXPECT_TRUE(page().scripts.empty()) << "no interface report when an update is offered";
}

TEST_F(UpdateCheck, TheAlertSaysWhatHappensNextAndItsFirstButtonDecidesAgain) {
  const std::string install =
      "Tarnwick will install this itself and reopen. Your home and member connection are "
      "preserved.|informational|Install and Relaunch|Later";
  const std::string browser =
      "Choose Download to open the current Apple-verified installer. Quit Tarnwick, drag it into "
      "Applications, and choose Replace. Your home and member connection will be "
      "preserved.|informational|Download|Later";
  const auto bundle = *platform.bundle.path, missing = tree.root / "missing/Tarnwick.app";
  for (const auto& [notes, inPlace, text] : std::vector<std::tuple<const char*, bool, std::string>>{
           {R"("\n  Faster sync.\t\n")", true, "Faster sync.\n\n" + install},
           {R"(" \n\r\n\t\u00a0\u2028 ")", true, install},
           {"null", true, install},
           {R"("")", false, browser},
           {R"("One.\n\nTwo.")", false, "One.\n\nTwo.\n\n" + browser}}) {
    platform.bundle.path = inPlace ? bundle : missing;
    check(true, ok(manifest("2.1.0", std::string(R"(,"release_notes":)") + notes)));
    EXPECT_EQ(sheet(), "Tarnwick 2.1.0 Is Available|" + text);
  }
  platform.bundle.path = missing;  // offered in place but no longer replaceable: the browser
  window().sheets[0].completion(0);
  EXPECT_EQ(platform.workspace.opened, std::vector<std::string>{download});
  platform.bundle.path = bundle;  // and the other way round
  window().sheets[3].completion(0);
  EXPECT_EQ(platform.http.requests.back().request.url, download);
  const auto asked = platform.http.count();
  window().sheets[4].completion(1);  // "Later", or the sheet dismissed, does nothing
  window().sheets[4].completion(std::nullopt);
  EXPECT_EQ(platform.http.count() + platform.workspace.opened.size(), asked + 1);
  delegate->checkForUpdates(true);
  delegate.reset();  // an answer after the delegate went is dropped
  platform.http.respondNext(ok(manifest("2.1.0")), manifestURL);
  delegate = platform.makeDelegate();  // without a window nothing is offered or recorded
  platform.preferences.strings.clear();
  platform.preferences.dates.clear();
  check(true, ok(manifest("2.1.0")));
  EXPECT_EQ(record(), " -");
}

TEST_F(UpdateCheck, TheAppIsReplacedInPlaceOnlyFromAWritableBundleOutsideMountedVolumes) {
  const auto root = tree.root;
  fs::create_directories(root / "Tarnwick.APP");
  for (const auto& row : rows("Tarnwick.app|Tarnwick.app;Tarnwick.app/|Tarnwick.app;"
                              "Tarnwick.APP|-;data|-;missing/Tarnwick.app|-")) {
    platform.bundle.path = root / cells(row)[0];
    auto destination = delegate->updateDestination();
    EXPECT_EQ(destination ? destination->lexically_relative(root).string() : "-", cells(row)[1]);
  }
  for (auto path :
       {std::optional<fs::path>(), std::optional<fs::path>("/Volumes/T/Tarnwick.app")}) {
    platform.bundle.path = path;
    EXPECT_EQ(delegate->updateDestination(), std::nullopt);
  }
  // Seen from a root of our own, so that the volumes' folders exist.
  const std::vector<fs::path> places = {"/Volumes/T/Tarnwick.app", "/media/u/d/Tarnwick.app",
                                        "/run/media/u/d/Tarnwick.app", "/srv/Tarnwick.app"};
  for (const auto& place : places) {
    fs::create_directories(root / place.relative_path());
  }
  pid_t child = ::fork();
  if (child == 0) {
    if ((::geteuid() != 0 && ::unshare(CLONE_NEWUSER) != 0) || ::chroot(root.c_str()) != 0) {
      ::_exit(99);
    }
    int accepted = 0;
    for (std::size_t at = 0; at < places.size(); ++at) {
      platform.bundle.path = places[at];
      accepted |= delegate->updateDestination() == places[at] ? 1 << at : 0;
    }
    ::_exit(accepted);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WEXITSTATUS(status) == 99) {
    GTEST_SKIP() << "no root of our own here";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0b1000) << "only /srv may be replaced in place";
}

class Install : public Shell {
 protected:
  Install() {
    fs::create_directories(platform.userFolders.temporaryFolder);
    fs::create_directories(destination);
    std::string sha = *sha256(tree.file("image", fs::perms::owner_read, image));
    for (char& c : sha) {
      c = static_cast<char>(std::toupper(c));  // digests compare without regard to case
    }
    release = {.version = "2.1.0", .build = 7, .downloadURL = download, .sha256 = sha};
    launch();
    answer(healthy);
    platform.commands.answer = [this](const std::string& path, const fakes::Arguments& arguments) {
      return tool(path, arguments);
    };
  }
  // The tools as they would act on the files, with the chosen fault.
  bool tool(const std::string& path, const fakes::Arguments& arguments) {
    auto name =
        fs::path(path).filename().string() + (path.ends_with("hdiutil") ? arguments[0] : "");
    if (name == "hdiutilattach" && fault != "no app") {
      fs::create_directories(fs::path(arguments[5]) / "Tarnwick.app");
    }
    if (name == "hdiutilattach") {
      platform.bundle
          .otherInfo[{fs::path(arguments[5]) / "Tarnwick.app", "CFBundleShortVersionString"}] =
          std::string(fault == "older" ? "2.0.0" : "2.1.0");
    }
    if (name == "ditto" && fault != "ditto") {
      fs::create_directories(fs::path(arguments[1]) / (fault == "script" ? "../install.sh/x" : ""));
    }
    return name != fault;
  }
  void install(const HttpResponse& response, const std::optional<fs::path>& file) {
    delegate->installUpdate(release, download, destination);
    platform.http.respond(platform.http.count() - 1, response, file);
    platform.mainQueue.runUntilIdle();
  }
  fs::path downloaded(const std::string& bytes) const {
    return tree.file("download.tmp", fs::perms::owner_all, bytes);
  }
  std::string toolsRun() const {
    std::string names;
    for (const auto& call : platform.commands.calls) {
      std::istringstream words(call);
      std::string kind, path, first;
      words >> kind >> path >> first;
      names += (names.empty() ? "" : " ") + fs::path(path).filename().string() +
               (path.ends_with("hdiutil") ? "-" + first : "");
    }
    return names;
  }
  std::vector<fs::path> work() const {
    return {fs::directory_iterator(platform.userFolders.temporaryFolder), {}};
  }
  long terminations() const { return std::ranges::count(platform.application.events, "terminate"); }

  const std::string image = "a signed image";
  const fs::path destination = tree.root / "My Apps/Tarnwick.app";
  TarnwickRelease release;
  std::string fault;  // the tool that fails, or "no app", "older" or "script"
};

TEST_F(Install, EveryFailureShowsItsOneSheetRemovesTheWorkAndReconnects) {
  const std::map<char, std::string> marks = {
      {'C', "the download did not match the checksum Tarnwick published"},
      {'S', "the download was not a version Apple and Tarnwick both signed"},
      {'A', "hdiutil-attach"},
      {'V', "hdiutil-attach codesign spctl"},
      {'D', "hdiutil-detach"}};
  // status | downloaded bytes ("-" for the image; also when there is no work folder, the file
  // has gone or there is none) | fault | reason | tools run
  for (const auto& row :
       rows("0|-||the download did not finish|;404|-||the download did not finish|;"
            "500|-||the download did not finish|;200|<html>Not here</html>||$C|;200|||$C|;"
            "200|-|hdiutilattach|the download could not be opened|$A;200|-|no app|$S|$A $D;"
            "200|-|codesign|$S|$A codesign $D;200|-|spctl|$S|$V $D;200|-|older|$S|$V $D;"
            "200|-|ditto|the new version could not be unpacked|$V ditto $D;"
            "200|-|script|the installer could not be written|$V ditto $D xattr;"
            "200|no folder||the download could not be prepared|;"
            "200|gone||the download could not be prepared|;"
            "200|none||the download did not finish|")) {
    auto cell = cells(expand(row, marks));
    fault = cell[2];
    platform.commands.calls.clear();
    window().sheets.clear();
    const auto temporary = platform.userFolders.temporaryFolder;
    if (cell[1] == "no folder") {
      platform.userFolders.temporaryFolder = tree.file("not-a-folder");
    }
    const auto bytes = cell[1] == "-" || cell[1] == "no folder" ? image : cell[1];
    install(cell[0] == "0" ? FakeHttpClient::transportError("reset")
                           : FakeHttpClient::status(std::stoi(cell[0])),
            cell[1] == "none"   ? std::nullopt
            : cell[1] == "gone" ? std::optional(tree.root / "gone")
                                : std::optional(downloaded(bytes)));
    platform.userFolders.temporaryFolder = temporary;
    EXPECT_EQ(sheet(),
              "Tarnwick Could Not Update|This update was not installed because " + cell[3] +
                  ". Nothing on this Mac was changed. Try again from Tarnwick \u2192 Check "
                  "for Updates\u2026|informational|OK");
    EXPECT_EQ(window().sheets.size(), 1U);
    EXPECT_EQ(toolsRun(), cell[4]);
    EXPECT_TRUE(work().empty());
    EXPECT_EQ(delegate->attempts(), 0);
    answer(healthy);  // the reconnect
  }
  EXPECT_EQ(terminations(), 0);
}

TEST_F(Install, SuccessStagesTheBundleStartsTheInstallerAndQuitsSixTenthsOfASecondLater) {
  platform.commands.toolLocations = {{"/usr/bin/ditto", (destination / "Contents/ditto").string()},
                                     {"/usr/bin/open", "/opt/tarnwick tools/open"}};
  install(FakeHttpClient::status(200), downloaded(image));
  const auto& request = platform.http.requests.back().request;
  EXPECT_EQ(
      std::tie(request.method, request.headers, request.timeout, request.cachePolicy),
      std::make_tuple("GET", platform::HeaderList{{"User-Agent", "Tarnwick/2.0.1 macOS"}},
                      Seconds(600), platform::CachePolicy::reloadIgnoringLocalAndRemoteCache));
  EXPECT_EQ(page().pages,
            (std::vector<std::string>{
                app::statusPageHTML("Connecting to Tarnwick\u2026"),
                app::statusPageHTML("Downloading Tarnwick 2.1.0\u2026"),
                app::statusPageHTML("Verifying Tarnwick 2.1.0\u2026"),
                app::statusPageHTML("Installing Tarnwick 2.1.0 and reopening\u2026")}));
  EXPECT_TRUE(window().sheets.empty());
  ASSERT_EQ(work().size(), 1U);
  const std::string w = work()[0].string(), name = work()[0].filename().string();
  EXPECT_TRUE(
      std::regex_match(name, std::regex("TarnwickUpdate-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                        "[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << name << " names a version-4 UUID";
  const std::string source = w + "/mount/Tarnwick.app", staged = w + "/Tarnwick.app";
  EXPECT_EQ(
      platform.commands.calls,
      (std::vector<std::string>{
          "run /usr/bin/hdiutil attach " + w + "/Tarnwick.dmg -nobrowse -readonly -mountpoint " +
              w + "/mount -quiet",
          "run /usr/bin/codesign --verify --deep --strict -R =anchor apple generic and identifier "
          "\"com.ostrel.tarnwick.launcher\" and certificate leaf[subject.OU] = \"K7QW3ZTN8R\" " +
              source,
          "run /usr/sbin/spctl --assess --type execute " + source,
          "run /usr/bin/ditto " + source + " " + staged,
          "run /usr/bin/hdiutil detach " + w + "/mount -quiet",
          "run /usr/bin/xattr -dr com.apple.quarantine " + staged,
          "launch /bin/sh " + w + "/install.sh " + std::to_string(::getpid()) + " " + staged + " " +
              destination.string() + " " + w}));
  EXPECT_EQ(readAll(w + "/Tarnwick.dmg"), image);
  EXPECT_FALSE(fs::exists(tree.root / "download.tmp"));
  // Tools are named where this system keeps them, never inside the bundle being replaced.
  const std::string script = readAll(w + "/install.sh");
  EXPECT_EQ(script.find(destination.string()), std::string::npos);
  EXPECT_NE(script.find("'/opt/tarnwick tools/open' -n \"$DEST\""), std::string::npos);
  EXPECT_NE(script.find(shellWord(staged + "/Contents/ditto") + " \"$SRC\" \"$DEST\""),
            std::string::npos);
  EXPECT_EQ(fs::status(w + "/install.sh").permissions(), fs::perms(0755));
  platform.mainQueue.advance(Seconds(0.59));
  EXPECT_EQ(terminations(), 0);
  platform.mainQueue.advance(Seconds(0.01));
  EXPECT_EQ(terminations(), 1);
  EXPECT_TRUE(fs::exists(w)) << "the installer removes it, not the app";
}

TEST_F(Install, AnInstallerThatCannotStartOrADelegateThatWentEndsNothingItShouldNot) {
  platform.commands.launchResult = false;
  install(FakeHttpClient::status(200), downloaded(image));
  EXPECT_NE(sheet().find("because the installer could not be started."), std::string::npos);
  EXPECT_TRUE(work().empty());
  EXPECT_EQ(platform.http.unanswered(), 1U) << "it reconnects";
  delegate->installUpdate(release, download, destination);
  delegate.reset();
  const auto calls = platform.commands.calls.size();
  platform.http.respond(platform.http.count() - 1, FakeHttpClient::status(200), downloaded(image));
  EXPECT_EQ(platform.commands.calls.size(), calls) << "nothing runs once the delegate is gone";
}

TEST(InstallerScript, QuotesOnlyWhatTheShellWouldReadAndTakesToolsFromTheStagedCopy) {
  for (const char* row :
       {"/usr/bin/ditto|/usr/bin/ditto", "a-z_A.Z+0,9:=@%/|a-z_A.Z+0,9:=@%/",
        "/My Apps/t|'/My Apps/t'", "/a'b$c|'/a'\\''b$c'", "a;b|'a;b'", "x*`~\"|'x*`~\"'", "|''"}) {
    EXPECT_EQ(shellWord(cells(row)[0]), cells(row)[1]);
  }
  EXPECT_NE(installerScript({.kill = "/x y/kill"})
                .find("while [ $i -lt 200 ] && '/x y/kill' -0 \"$PID\""),
            std::string::npos);
  const fs::path dest = "/home/u/My Apps/Tarnwick.app", staged = "/W/Tarnwick.app";
  for (const auto& row :
       rows("/home/u/My Apps/Tarnwick.app/Contents/t|/W/Tarnwick.app/Contents/t;"
            "/home/u/My Apps/Tarnwick.app/./Contents/../x|/W/Tarnwick.app/x;"
            "/home/u/My Apps/Tarnwick.app.old/x|/home/u/My Apps/Tarnwick.app.old/x;"
            "/home/u/My Apps/Tarnwick.app|/home/u/My Apps/Tarnwick.app;"
            "/bin/rm|/bin/rm")) {
    EXPECT_EQ(toolOutsideReplacedBundle(cells(row)[0], dest, staged), cells(row)[1]);
    EXPECT_EQ(toolOutsideReplacedBundle(cells(row)[0], dest.string() + "/", staged), cells(row)[1]);
  }
  TemporaryTree tree;
  // A file of one whole chunk, one more byte, and nothing.
  for (const char* row :
       {"1048576|631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769",
        "1048577|5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56",
        "0|e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}) {
    std::string bytes(std::stoul(cells(row)[0]), '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      bytes[at] = static_cast<char>(at % 251);
    }
    EXPECT_EQ(sha256(tree.file("f", fs::perms::owner_all, bytes)), cells(row)[1]) << row;
  }
  EXPECT_EQ(sha256(tree.root / "missing"), std::nullopt);
  EXPECT_EQ(sha256(tree.root), std::nullopt);
}

}  // namespace
}  // namespace tarnwick::testing_support
