#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "app/StatusPage.h"

namespace tarnwick::app {
namespace {

using fakes::FakePlatform;

class Launch : public testing::Test {
 protected:
  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate = platform.makeDelegate();
};

TEST_F(Launch, BuildsTheShellInOnePassInOrder) {
  delegate->applicationDidFinishLaunching();

  EXPECT_EQ(platform.application.events,
            (std::vector<std::string>{"activation policy regular", "main menu", "web view", "window",
                                      "activate ignoring other apps"}));
  auto& window = *platform.application.window;
  EXPECT_EQ(window.description.contentWidth, 1080);
  EXPECT_EQ(window.description.contentHeight, 780);
  EXPECT_TRUE(window.description.titled && window.description.closable &&
              window.description.miniaturizable && window.description.resizable);
  EXPECT_EQ(window.title(), "Tarnwick");
  EXPECT_EQ(window.minSize, std::make_pair(760, 560));
  EXPECT_EQ(window.content, platform.application.webView.get());
  EXPECT_TRUE(window.centred);
  EXPECT_EQ(window.broughtForward, 1);

  auto& webView = *platform.application.webView;
  EXPECT_EQ(webView.configuration.scriptMessageHandlerNames,
            std::vector<std::string>{"tarnwickFinancialUnlock"});
  EXPECT_FALSE(webView.configuration.drawsBackground);
  EXPECT_EQ(webView.delegate.lock().get(), delegate.get());
  EXPECT_EQ(delegate->webView(), platform.application.webView);
  EXPECT_EQ(delegate->window(), platform.application.window);
}

TEST_F(Launch, ShowsTheConnectingPageFirst) {
  delegate->applicationDidFinishLaunching();
  ASSERT_FALSE(platform.application.webView->loads.empty());
  EXPECT_EQ(platform.application.webView->loads.front().content,
            statusPageHTML("Connecting to Tarnwick\u2026"));
}

TEST_F(Launch, SchedulesTheAutomaticUpdateCheckFiveSecondsLater) {
  delegate->applicationDidFinishLaunching();
  // The health check is still open, so the update check is the one thing waiting.
  EXPECT_EQ(platform.mainQueue.delays(), std::vector<double>{5.0});
  platform.mainQueue.advance(platform::Seconds(4.99));
  EXPECT_EQ(platform.mainQueue.pending(), 1U);
  platform.mainQueue.advance(platform::Seconds(0.01));
  EXPECT_EQ(platform.mainQueue.pending(), 0U);
}

TEST_F(Launch, ScheduledWorkDoesNothingOnceTheDelegateIsGone) {
  delegate->applicationDidFinishLaunching();
  auto& webView = *platform.application.webView;
  auto loads = webView.loads.size();
  auto events = platform.application.events;
  std::weak_ptr<TarnwickAppDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired()) << "scheduled work must not keep the delegate alive";
  ASSERT_EQ(platform.mainQueue.pending(), 1U);
  platform.mainQueue.advance(platform::Seconds(10));
  EXPECT_EQ(platform.mainQueue.pending(), 0U) << "it ran";
  EXPECT_EQ(platform.http.count(), 1U);
  EXPECT_EQ(webView.loads.size(), loads);
  EXPECT_EQ(platform.application.events, events);
}

TEST_F(Launch, ReopenBringsTheWindowBackAndConnectsOnlyWithoutAPage) {
  delegate->applicationDidFinishLaunching();
  auto& webView = *platform.application.webView;
  auto loadsBefore = webView.loads.size();
  platform.application.window->visible = false;  // the user closed it

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
  EXPECT_TRUE(platform.application.window->visible);
  EXPECT_EQ(platform.application.window->broughtForward, 2);
  EXPECT_EQ(platform.application.events.back(), "activate ignoring other apps");
  EXPECT_EQ(webView.loads.size(), loadsBefore);
  EXPECT_EQ(platform.http.count(), 1U) << "a page is up: no new health check";

  webView.currentURL.reset();
  EXPECT_TRUE(delegate->applicationShouldHandleReopen(true));
  EXPECT_EQ(platform.http.count(), 2U) << "nothing loaded: reopen connects";
  EXPECT_EQ(platform.application.window->broughtForward, 3);
}

}  // namespace
}  // namespace tarnwick::app
