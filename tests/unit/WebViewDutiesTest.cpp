#include <gtest/gtest.h>

#include "DelegateAccess.h"
#include "FakePlatform.h"
#include "app/StatusPage.h"

namespace tarnwick::app {
namespace {

using fakes::FakeHttpClient;
using fakes::FakePlatform;
using platform::AlertStyle;
using platform::FileList;
using platform::FrameInfo;
using platform::Seconds;
using platform::SecurityOrigin;

const SecurityOrigin connectorOrigin{"http", "127.0.0.1", 8766};
const FrameInfo connectorPage{true, connectorOrigin};

class WebViewDuties : public testing::Test {
 protected:
  WebViewDuties() {
    delegate->applicationDidFinishLaunching();
    // The interface is up: the launch check answered healthy.
    platform.http.respondNext(
        FakeHttpClient::status(200, {{"Server", "TarnwickDesktop/" + delegate->currentVersion()}}));
    platform.mainQueue.runUntilIdle();
    checksBefore = platform.http.count();
  }

  fakes::FakeWebView& webView() { return *platform.application.webView; }
  fakes::FakeWindow& window() { return *platform.application.window; }

  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate = platform.makeDelegate();
  std::size_t checksBefore = 0;
};

class LoadFailures : public WebViewDuties,
                     public testing::WithParamInterface<void (TarnwickAppDelegate::*)()> {};

TEST_P(LoadFailures, ShowTheReconnectingPageCountOneAttemptAndConnectHalfASecondLater) {
  TarnwickAppDelegateTestAccess::setAttempts(*delegate, 17);
  ((*delegate).*GetParam())();

  EXPECT_EQ(webView().lastHTML(), statusPageHTML("Reconnecting to Tarnwick\u2026"));
  EXPECT_EQ(delegate->attempts(), 1) << "reset to 0, then one attempt counted by the poll";
  platform.mainQueue.advance(Seconds(0.49));
  EXPECT_EQ(platform.http.count(), checksBefore);
  platform.mainQueue.advance(Seconds(0.01));
  EXPECT_EQ(platform.http.count(), checksBefore + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, LoadFailures,
    testing::Values(&TarnwickAppDelegate::webViewDidFailNavigation,
                    &TarnwickAppDelegate::webViewDidFailProvisionalNavigation));

TEST_F(WebViewDuties, AFailedLoadWhileTheConnectorIsDownEndsOnTheLimitPageAfterThirtyChecks) {
  delegate->webViewDidFailProvisionalNavigation();
  std::size_t checks = 0;
  for (int guard = 0; guard < 200 && platform.mainQueue.pending() > 0; ++guard) {
    platform.mainQueue.advance(Seconds(0.5));
    while (platform.http.unanswered() > 0) {
      platform.http.respondNext(FakeHttpClient::transportError("Could not connect to the server."));
      platform.mainQueue.runUntilIdle();
      ++checks;
    }
  }
  EXPECT_EQ(checks, 30U);
  EXPECT_EQ(webView().lastHTML(), statusPageHTML("Tarnwick could not connect. Choose Tarnwick "
                                                 "\u2192 Reload Tarnwick to try again."));
}

TEST_F(WebViewDuties, AnEndedContentProcessShowsTheReopeningPageAndConnectsAtThreeQuarters) {
  TarnwickAppDelegateTestAccess::setAttempts(*delegate, 9);
  delegate->webViewWebContentProcessDidTerminate();

  EXPECT_EQ(webView().lastHTML(),
            statusPageHTML("Tarnwick voice stopped unexpectedly. Reopening\u2026"));
  EXPECT_EQ(delegate->attempts(), 0);
  platform.mainQueue.advance(Seconds(0.74));
  EXPECT_EQ(platform.http.count(), checksBefore) << "not before 0.75 s";
  platform.mainQueue.advance(Seconds(0.01));
  ASSERT_EQ(platform.http.count(), checksBefore + 1);

  platform.http.respondNext(
      FakeHttpClient::status(200, {{"Server", "TarnwickDesktop/" + delegate->currentVersion()}}));
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(webView().requestedURLs().size(), 2U) << "the interface loads again";
}

TEST_F(WebViewDuties, AReopenScheduledBeforeTheDelegateWentDoesNothing) {
  delegate->webViewWebContentProcessDidTerminate();
  delegate.reset();
  platform.mainQueue.advance(Seconds(1));
  EXPECT_EQ(platform.http.count(), checksBefore);
}

TEST_F(WebViewDuties, AlertFromTheConnectorPageWaitsForItsSheet) {
  for (auto ending : {std::optional<std::size_t>(0), std::optional<std::size_t>()}) {
    int completions = 0;
    delegate->webViewRunJavaScriptAlert("Saved <b>&</b> done", connectorPage,
                                        [&] { ++completions; });
    ASSERT_FALSE(window().sheets.empty());
    const auto& alert = window().sheets.back().alert;
    EXPECT_EQ(alert.messageText, "Tarnwick");
    EXPECT_EQ(alert.informativeText, "Saved <b>&</b> done");
    EXPECT_EQ(alert.style, AlertStyle::informational);
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(completions, 0) << "the page waits until the sheet ends";
    window().sheets.back().completion(ending);
    EXPECT_EQ(completions, 1);
  }
}

struct ConfirmCase {
  const char* message;
  bool fullAccess;
};

class ConfirmTexts : public WebViewDuties, public testing::WithParamInterface<ConfirmCase> {};

TEST_P(ConfirmTexts, FullAccessRequestsGetAWarningAndTheirOwnButton) {
  bool answered = false;
  delegate->webViewRunJavaScriptConfirm(GetParam().message, connectorPage,
                                        [&](bool) { answered = true; });
  ASSERT_EQ(window().sheets.size(), 1U);
  const auto& alert = window().sheets.back().alert;
  EXPECT_EQ(alert.messageText, "Tarnwick");
  EXPECT_EQ(alert.informativeText, GetParam().message);
  if (GetParam().fullAccess) {
    EXPECT_EQ(alert.style, AlertStyle::warning);
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Enable Full Access", "Cancel"}));
  } else {
    EXPECT_EQ(alert.style, AlertStyle::informational);
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Continue", "Cancel"}));
  }
  EXPECT_FALSE(answered);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ConfirmTexts,
    testing::Values(ConfirmCase{"Give Tarnwick full access to your accounts?", true},
                    ConfirmCase{"FULL ACCESS", true}, ConfirmCase{"Full Access", true},
                    ConfirmCase{"Turn on fUlL aCcEsS now", true},
                    ConfirmCase{"Grant full accessibility", true},
                    ConfirmCase{"Remove this account?", false}, ConfirmCase{"fullaccess", false},
                    ConfirmCase{"full  access", false}, ConfirmCase{"full-access", false},
                    ConfirmCase{"", false}, ConfirmCase{"full acc\xff", false}));

TEST_F(WebViewDuties, ConfirmIsTrueOnlyForTheFirstButton) {
  struct Case {
    std::optional<std::size_t> ending;
    bool expected;
  };
  for (const auto& [ending, expected] :
       {Case{0, true}, Case{1, false}, Case{2, false}, Case{std::nullopt, false}}) {
    std::optional<bool> answer;
    delegate->webViewRunJavaScriptConfirm("Enable full access?", connectorPage,
                                          [&](bool value) { answer = value; });
    EXPECT_FALSE(answer);
    window().sheets.back().completion(ending);
    EXPECT_EQ(answer, expected);
  }
}

struct FrameCase {
  const char* name;
  FrameInfo frame;
};

class UntrustedFrames : public WebViewDuties, public testing::WithParamInterface<FrameCase> {};

TEST_P(UntrustedFrames, AreAnsweredAtOnceWithNothingShown) {
  const auto& frame = GetParam().frame;
  int alerts = 0;
  delegate->webViewRunJavaScriptAlert("hello", frame, [&] { ++alerts; });
  EXPECT_EQ(alerts, 1);

  std::optional<bool> confirmed;
  delegate->webViewRunJavaScriptConfirm("full access?", frame, [&](bool v) { confirmed = v; });
  EXPECT_EQ(confirmed, false);

  bool picked = false;
  std::optional<FileList> files = FileList{"sentinel"};
  delegate->webViewRunOpenPanel({.allowsDirectories = true, .allowsMultipleSelection = true}, frame,
                                [&](std::optional<FileList> chosen) {
                                  picked = true;
                                  files = std::move(chosen);
                                });
  EXPECT_TRUE(picked);
  EXPECT_FALSE(files) << "no files is nothing, not an empty list";

  std::optional<bool> granted;
  delegate->webViewRequestMediaCapturePermission(connectorOrigin, frame,
                                                 platform::MediaCaptureType::camera,
                                                 [&](bool grant) { granted = grant; });
  EXPECT_EQ(granted, false);

  EXPECT_TRUE(window().sheets.empty());
  EXPECT_TRUE(window().openPanels.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, UntrustedFrames,
    testing::Values(FrameCase{"embeddedFrame", {false, connectorOrigin}},
                    FrameCase{"https", {true, {"https", "127.0.0.1", 8766}}},
                    FrameCase{"localhost", {true, {"http", "localhost", 8766}}},
                    FrameCase{"otherPort", {true, {"http", "127.0.0.1", 8767}}},
                    FrameCase{"defaultPort", {true, {"http", "127.0.0.1", 0}}},
                    FrameCase{"upperCaseProtocol", {true, {"HTTP", "127.0.0.1", 8766}}},
                    FrameCase{"ipv6Loopback", {true, {"http", "[::1]", 8766}}},
                    FrameCase{"opaqueOrigin", {true, {"", "", 0}}},
                    FrameCase{"remoteHost", {true, {"http", "example.com", 8766}}}),
    [](const auto& each) { return std::string(each.param.name); });

TEST_F(WebViewDuties, OpenPanelFollowsThePageParametersAndPassesTheChoiceBack) {
  struct Case {
    bool directories, multiple;
    std::optional<FileList> chosen;
  };
  for (const auto& [directories, multiple, chosen] :
       {Case{false, false, FileList{"/home/u/a.csv"}}, Case{true, false, std::nullopt},
        Case{false, true, FileList{"/home/u/a.csv", "/home/u/b c.csv"}},
        Case{true, true, std::nullopt}}) {
    bool called = false;
    std::optional<FileList> received = FileList{"sentinel"};
    delegate->webViewRunOpenPanel(
        {.allowsDirectories = directories, .allowsMultipleSelection = multiple}, connectorPage,
        [&](std::optional<FileList> files) {
          called = true;
          received = std::move(files);
        });
    ASSERT_FALSE(window().openPanels.empty());
    auto& panel = window().openPanels.back();
    EXPECT_TRUE(panel.files);
    EXPECT_EQ(panel.directories, directories);
    EXPECT_EQ(panel.multiple, multiple);
    EXPECT_FALSE(called) << "the page waits for the panel";
    panel.completion(chosen);
    EXPECT_TRUE(called);
    EXPECT_EQ(received, chosen);
  }
}

TEST_F(WebViewDuties, NewWindowRequestsOpenOnlyWebLinksInTheBrowser) {
  struct Case {
    std::optional<std::string> url;
    bool opened;
  };
  for (const auto& [url, opened] :
       {Case{"https://example.com/help?x=1", true}, Case{"http://example.com/", true},
        Case{"mailto:help@example.com", false}, Case{"tarnwick://desktop-pair?code=1", false},
        Case{"javascript:alert(1)", false}, Case{"file:///etc/passwd", false},
        Case{"httpx://example.com/", false}, Case{"about:blank", false}, Case{"", false},
        Case{std::nullopt, false}}) {
    platform.workspace.opened.clear();
    auto loads = webView().loads.size();
    delegate->webViewCreateWebView({.url = url});
    if (opened) {
      EXPECT_EQ(platform.workspace.opened, std::vector<std::string>{*url});
    } else {
      EXPECT_TRUE(platform.workspace.opened.empty()) << url.value_or("(no URL)");
    }
    EXPECT_EQ(webView().loads.size(), loads) << "the window keeps its page";
  }
}

TEST_F(WebViewDuties, MediaIsGrantedOnlyToTheConnectorPageAskingForItsOwnOrigin) {
  struct Case {
    FrameInfo frame;
    SecurityOrigin origin;
    bool granted;
  };
  const FrameInfo embedded{false, connectorOrigin};
  for (const auto& [frame, origin, expected] :
       {Case{connectorPage, connectorOrigin, true},
        Case{connectorPage, {"https", "127.0.0.1", 8766}, false},
        Case{connectorPage, {"http", "127.0.0.1", 8767}, false},
        Case{connectorPage, {"http", "localhost", 8766}, false},
        Case{embedded, connectorOrigin, false},
        Case{{true, {"http", "evil.example", 80}}, connectorOrigin, false}}) {
    for (auto type : {platform::MediaCaptureType::camera, platform::MediaCaptureType::microphone,
                      platform::MediaCaptureType::cameraAndMicrophone}) {
      std::optional<bool> granted;
      delegate->webViewRequestMediaCapturePermission(origin, frame, type,
                                                     [&](bool grant) { granted = grant; });
      EXPECT_EQ(granted, expected);
    }
  }
  EXPECT_TRUE(window().sheets.empty()) << "the user is never asked by the page";
}

}  // namespace
}  // namespace tarnwick::app
