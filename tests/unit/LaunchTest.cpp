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
  auto delays = platform.mainQueue.delays();
  EXPECT_NE(std::find(delays.begin(), delays.end(), 5.0), delays.end());
}

TEST_F(Launch, ScheduledWorkDoesNothingOnceTheDelegateIsGone) {
  delegate->applicationDidFinishLaunching();
  std::weak_ptr<TarnwickAppDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired()) << "scheduled work must not keep the delegate alive";
  platform.mainQueue.advance(platform::Seconds(10));
}

TEST_F(Launch, ReopenBringsTheWindowBackAndKeepsThePage) {
  delegate->applicationDidFinishLaunching();
  auto loadsBefore = platform.application.webView->loads.size();
  platform.application.window->visible = false;  // the user closed it

  EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
  EXPECT_TRUE(platform.application.window->visible);
  EXPECT_EQ(platform.application.window->broughtForward, 2);
  EXPECT_EQ(platform.application.events.back(), "activate ignoring other apps");
  EXPECT_EQ(platform.application.webView->loads.size(), loadsBefore);
}

}  // namespace
}  // namespace tarnwick::app
