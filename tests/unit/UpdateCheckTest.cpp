#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "TemporaryTree.h"
#include "update/TarnwickRelease.h"

namespace tarnwick::app {
namespace {

using fakes::FakeHttpClient;
using fakes::FakePlatform;
using platform::Seconds;
using namespace std::chrono_literals;

constexpr const char* manifestURL = "https://tarnwick.com/support/mac/latest.json";
constexpr const char* downloadURL = "https://tarnwick.com/support/mac/download";
constexpr const char* digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr const char* unreachableNote =
    "The Mac app update service could not be reached, so the Mac app (1.4.1) was not checked.";
constexpr const char* newestNote =
    "The Mac app itself, 1.4.1, is also the newest; it changes only when the app is rebuilt, so it "
    "can stand still for months.";
constexpr const char* installText =
    "Tarnwick will install this itself and reopen. Your home and member connection are preserved.";
constexpr const char* downloadText =
    "Choose Download to open the current Apple-verified installer. Quit Tarnwick, drag it into "
    "Applications, and choose Replace. Your home and member connection will be preserved.";

std::string manifest(const std::string& version, const std::string& extra = "",
                     const std::string& url = downloadURL, int build = 57) {
  return R"({"version":")" + version + R"(","build":)" + std::to_string(build) +
         R"(,"download_url":")" + url + R"(","sha256":")" + digest + "\"" + extra + "}";
}

class UpdateCheck : public testing::Test {
 protected:
  UpdateCheck() {
    platform.bundle.info["CFBundleShortVersionString"] = std::string("1.4.1");
    std::filesystem::create_directories(tree.root() / "Tarnwick.app");
    platform.bundle.path = tree.root() / "Tarnwick.app";
    platform.preferences.clock = platform::Date(std::chrono::hours(500000));
    delegate = launch();
  }

  std::shared_ptr<TarnwickAppDelegate> launch() {
    auto launched = platform.makeDelegate();
    launched->applicationDidFinishLaunching();
    return launched;
  }

  std::vector<platform::HttpRequest> manifestRequests() const {
    return platform.http.heldApartRequests();
  }

  void answer(const platform::HttpResponse& response) {
    auto requests = manifestRequests();
    ASSERT_FALSE(requests.empty());
    platform.http.respondHeldApart(requests.size() - 1, response);
    platform.mainQueue.runUntilIdle();
  }

  // The manual check's request, answered.
  void checkByHand(const platform::HttpResponse& response) {
    delegate->checkForUpdatesFromMenu();
    answer(response);
  }

  std::vector<fakes::FakeWindow::Sheet>& sheets() { return platform.application.window->sheets; }
  std::size_t scrapes() const { return platform.application.webView->scripts.size(); }

  testing_support::TemporaryTree tree;
  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate;
};

TEST_F(UpdateCheck, SendsTheManifestRequestExactly) {
  delegate->checkForUpdatesFromMenu();
  ASSERT_EQ(manifestRequests().size(), 1u);
  auto request = manifestRequests().front();
  EXPECT_EQ(request.url, manifestURL);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.headers, (platform::HeaderList{{"Cache-Control", "no-cache"},
                                                   {"User-Agent", "Tarnwick/1.4.1 macOS"}}));
  EXPECT_EQ(request.timeout, Seconds(10));
  EXPECT_EQ(request.cachePolicy, platform::CachePolicy::reloadIgnoringLocalAndRemoteCache);
  EXPECT_TRUE(request.body.empty());
  EXPECT_TRUE(delegate->updateCheckInProgress());
  answer(FakeHttpClient::status(500));
  EXPECT_FALSE(delegate->updateCheckInProgress());
}

TEST_F(UpdateCheck, AManualCheckWhileTheAutomaticOneIsInFlightDoesNothing) {
  platform.mainQueue.advance(Seconds(5));
  ASSERT_EQ(manifestRequests().size(), 1u);
  auto scrapesBefore = scrapes();
  delegate->checkForUpdatesFromMenu();
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(manifestRequests().size(), 1u);
  answer(FakeHttpClient::status(200, {}, manifest("1.4.1")));
  EXPECT_TRUE(sheets().empty());
  EXPECT_EQ(scrapes(), scrapesBefore) << "an automatic check makes no interface report";
  delegate->checkForUpdatesFromMenu();
  EXPECT_EQ(manifestRequests().size(), 2u) << "the flag is down once the answer is handled";
}

struct NoteCase {
  const char* name;
  platform::HttpResponse response;
  const char* note;
};

class ManifestOutcome : public UpdateCheck, public testing::WithParamInterface<NoteCase> {};

TEST_P(ManifestOutcome, AManualCheckHandsTheNoteToTheInterfaceReport) {
  platform.preferences.strings["TarnwickLastUpdatePromptVersion"] = "0.9.0";
  auto scrapesBefore = scrapes();
  checkByHand(GetParam().response);
  ASSERT_EQ(scrapes(), scrapesBefore + 1);
  // The page is not ready, so the report shows the note with that sentence.
  platform.application.webView->scripts.back().completion(std::nullopt);
  ASSERT_EQ(sheets().size(), 1u);
  EXPECT_EQ(sheets()[0].alert.messageText, "Tarnwick");
  EXPECT_EQ(sheets()[0].alert.informativeText,
            std::string(GetParam().note) +
                " The interface could not be checked because it has not finished loading; try "
                "again in a moment.");
  EXPECT_EQ(platform.preferences.strings.at("TarnwickLastUpdatePromptVersion"), "0.9.0");
  EXPECT_TRUE(platform.preferences.dates.empty());
}

TEST_P(ManifestOutcome, AnAutomaticCheckStaysSilent) {
  auto scrapesBefore = scrapes();
  platform.mainQueue.advance(Seconds(5));
  answer(GetParam().response);
  EXPECT_TRUE(sheets().empty());
  EXPECT_EQ(scrapes(), scrapesBefore);
  EXPECT_TRUE(platform.preferences.strings.empty() && platform.preferences.dates.empty());
}

platform::HttpResponse ok(std::string body) {
  return FakeHttpClient::status(200, {}, body);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ManifestOutcome,
    testing::Values(
        NoteCase{"TransportError", FakeHttpClient::transportError("timed out"), unreachableNote},
        NoteCase{"TransportErrorWithABody",
                 [] {
                   auto response = ok(manifest("9.0.0"));
                   response.transportError = "reset";
                   return response;
                 }(),
                 unreachableNote},
        NoteCase{"Status500", FakeHttpClient::status(500, {}, manifest("9.0.0")), unreachableNote},
        NoteCase{"Status204", FakeHttpClient::status(204), unreachableNote},
        NoteCase{"Status304", FakeHttpClient::status(304, {}, manifest("9.0.0")), unreachableNote},
        NoteCase{"NoBody", FakeHttpClient::status(200), unreachableNote},
        NoteCase{"NotJson", ok("<html>busy</html>"), unreachableNote},
        NoteCase{"BuildZero", ok(manifest("9.0.0", "", downloadURL, 0)), unreachableNote},
        NoteCase{"BuildNegative", ok(manifest("9.0.0", "", downloadURL, -1)), unreachableNote},
        NoteCase{"OtherHost", ok(manifest("9.0.0", "", "https://example.com/support/mac/download")),
                 unreachableNote},
        NoteCase{"UntrustedVersion", ok(manifest("9.0")), unreachableNote},
        NoteCase{"SameVersion", ok(manifest("1.4.1")), newestNote},
        NoteCase{"OlderVersion", ok(manifest("1.3.9")), newestNote},
        NoteCase{"SameVersionWithZeroPiece", ok(manifest("1.4.01")), newestNote}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(UpdateCheck, AnAutomaticPromptComesOncePerVersionAndDay) {
  platform.mainQueue.advance(Seconds(5));
  answer(ok(manifest("1.5.0")));
  ASSERT_EQ(sheets().size(), 1u);
  EXPECT_EQ(platform.preferences.strings.at("TarnwickLastUpdatePromptVersion"), "1.5.0");
  EXPECT_EQ(platform.preferences.dates.at("TarnwickLastUpdatePromptDate"),
            platform.preferences.clock);

  // A second launch an hour later, offered the same version: silent.
  platform.preferences.clock += 1h;
  delegate = launch();
  platform.mainQueue.advance(Seconds(5));
  answer(ok(manifest("1.5.0")));
  EXPECT_TRUE(sheets().empty());

  // A third, offered a different version: prompted at once.
  platform.preferences.clock += 1h;
  delegate = launch();
  platform.mainQueue.advance(Seconds(5));
  answer(ok(manifest("1.5.1")));
  EXPECT_EQ(sheets().size(), 1u);

  // A day after that prompt, the same version again.
  platform.preferences.clock += 24h;
  delegate = launch();
  platform.mainQueue.advance(Seconds(5));
  answer(ok(manifest("1.5.1")));
  EXPECT_EQ(sheets().size(), 1u);
}

TEST_F(UpdateCheck, ShouldPromptReadsTheRecord) {
  auto& preferences = platform.preferences;
  EXPECT_TRUE(delegate->shouldPrompt("1.5.0")) << "no record";
  preferences.strings["TarnwickLastUpdatePromptVersion"] = "1.5.0";
  EXPECT_TRUE(delegate->shouldPrompt("1.5.0")) << "a version without a date";
  preferences.dates["TarnwickLastUpdatePromptDate"] = preferences.clock - 86399s;
  EXPECT_FALSE(delegate->shouldPrompt("1.5.0"));
  EXPECT_TRUE(delegate->shouldPrompt("1.5.1"));
  preferences.dates["TarnwickLastUpdatePromptDate"] = preferences.clock - 86400s;
  EXPECT_TRUE(delegate->shouldPrompt("1.5.0"));
  preferences.dates["TarnwickLastUpdatePromptDate"] = preferences.clock + 48h;
  EXPECT_FALSE(delegate->shouldPrompt("1.5.0")) << "a date in the future";
}

TEST_F(UpdateCheck, AManualCheckPromptsAnywayAndRenewsTheDate) {
  platform.preferences.strings["TarnwickLastUpdatePromptVersion"] = "1.5.0";
  platform.preferences.dates["TarnwickLastUpdatePromptDate"] = platform.preferences.clock + 1h;
  platform.mainQueue.advance(Seconds(5));
  answer(ok(manifest("1.5.0")));
  EXPECT_TRUE(sheets().empty());

  auto scrapesBefore = scrapes();
  checkByHand(ok(manifest("1.5.0")));
  ASSERT_EQ(sheets().size(), 1u);
  EXPECT_EQ(sheets()[0].alert.messageText, "Tarnwick 1.5.0 Is Available");
  EXPECT_EQ(platform.preferences.dates.at("TarnwickLastUpdatePromptDate"),
            platform.preferences.clock);
  EXPECT_EQ(scrapes(), scrapesBefore) << "no interface report when an update is offered";
}

struct AlertCase {
  const char* notes;  // JSON value
  bool writableBundle;
  const char* informative;
  const char* firstButton;
};

class UpdateAlert : public UpdateCheck, public testing::WithParamInterface<AlertCase> {};

TEST_P(UpdateAlert, SaysWhatHappensNext) {
  if (!GetParam().writableBundle) {
    platform.bundle.path = tree.root() / "missing" / "Tarnwick.app";
  }
  checkByHand(ok(manifest("1.5.0", std::string(R"(,"release_notes":)") + GetParam().notes)));
  ASSERT_EQ(sheets().size(), 1u);
  const auto& alert = sheets()[0].alert;
  EXPECT_EQ(alert.messageText, "Tarnwick 1.5.0 Is Available");
  EXPECT_EQ(alert.informativeText, GetParam().informative);
  EXPECT_EQ(alert.style, platform::AlertStyle::informational);
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{GetParam().firstButton, "Later"}));
}

INSTANTIATE_TEST_SUITE_P(
    Notes, UpdateAlert,
    testing::Values(
        AlertCase{R"("\n  Faster sync.\t\n")", true,
                  "Faster sync.\n\nTarnwick will install this itself and reopen. Your home and "
                  "member connection are preserved.",
                  "Install and Relaunch"},
        AlertCase{R"(" \n\r\n\t\u00a0\u2028 ")", true, installText, "Install and Relaunch"},
        AlertCase{"null", true, installText, "Install and Relaunch"},
        AlertCase{R"("")", false, downloadText, "Download"},
        AlertCase{R"("Line one.\n\nLine two.")", false,
                  "Line one.\n\nLine two.\n\nChoose Download to open the current Apple-verified "
                  "installer. Quit Tarnwick, drag it into Applications, and choose Replace. Your "
                  "home and member connection will be preserved.",
                  "Download"}));

TEST_F(UpdateCheck, TheFirstButtonDecidesAgainAtTheClick) {
  auto bundle = *platform.bundle.path;
  auto missing = tree.root() / "missing" / "Tarnwick.app";

  // Offered in place, but the bundle cannot be replaced by the time of the click: the browser.
  checkByHand(ok(manifest("1.5.0")));
  ASSERT_EQ(sheets().back().alert.buttons.front(), "Install and Relaunch");
  platform.bundle.path = missing;
  sheets().back().completion(0);
  EXPECT_EQ(platform.workspace.opened, std::vector<std::string>{downloadURL});

  // Offered as a download, but replaceable at the click: installed in place, nothing opened.
  checkByHand(ok(manifest("1.5.0")));
  ASSERT_EQ(sheets().back().alert.buttons.front(), "Download");
  platform.bundle.path = bundle;
  sheets().back().completion(0);
  EXPECT_EQ(platform.workspace.opened.size(), 1u);

  // "Later" and a sheet dismissed otherwise do nothing, and the record stays.
  platform.bundle.path = missing;
  checkByHand(ok(manifest("1.5.0")));
  sheets().back().completion(1);
  sheets().back().completion(std::nullopt);
  EXPECT_EQ(platform.workspace.opened.size(), 1u);
  EXPECT_EQ(platform.preferences.strings.at("TarnwickLastUpdatePromptVersion"), "1.5.0");

  // With the delegate gone, the first button can still open the address.
  auto completion = sheets().back().completion;
  delegate.reset();
  completion(0);
  EXPECT_EQ(platform.workspace.opened.size(), 2u);
}

TEST_F(UpdateCheck, NothingHappensOnceTheDelegateIsGone) {
  delegate->checkForUpdatesFromMenu();
  auto sheetsBefore = sheets().size();
  auto scrapesBefore = scrapes();
  std::weak_ptr<TarnwickAppDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired()) << "a pending check holds no strong reference";
  answer(ok(manifest("1.5.0")));
  platform.mainQueue.advance(Seconds(10));
  EXPECT_EQ(sheets().size(), sheetsBefore);
  EXPECT_EQ(scrapes(), scrapesBefore);
  EXPECT_TRUE(platform.preferences.strings.empty());
}

TEST_F(UpdateCheck, WithoutAWindowNothingIsOfferedOrRecorded) {
  auto unlaunched = platform.makeDelegate();
  unlaunched->checkForUpdates(true);
  answer(ok(manifest("1.5.0")));
  EXPECT_TRUE(platform.preferences.strings.empty() && platform.preferences.dates.empty());
  EXPECT_TRUE(sheets().empty());
}

TEST_F(UpdateCheck, UpdateDestinationIsAWritableAppBundleOnThisDisk) {
  auto root = tree.root();
  std::filesystem::create_directories(root / "Tarnwick.APP");
  std::filesystem::create_directories(root / "Tarnwick");
  struct Case {
    std::optional<std::filesystem::path> bundle;
    std::optional<std::filesystem::path> destination;
  };
  for (const auto& test : std::vector<Case>{{root / "Tarnwick.app", root / "Tarnwick.app"},
                                            {root / "Tarnwick.app/", root / "Tarnwick.app"},
                                            {root / "Tarnwick.APP", std::nullopt},
                                            {root / "Tarnwick", std::nullopt},
                                            {root / "missing/Tarnwick.app", std::nullopt},
                                            {"/Volumes/Tarnwick/Tarnwick.app", std::nullopt},
                                            {"/media/user/disk/Tarnwick.app", std::nullopt},
                                            {"/run/media/user/disk/Tarnwick.app", std::nullopt},
                                            {std::nullopt, std::nullopt}}) {
    platform.bundle.path = test.bundle;
    EXPECT_EQ(delegate->updateDestination(), test.destination)
        << test.bundle.value_or("(no bundle)");
  }
}

}  // namespace
}  // namespace tarnwick::app
