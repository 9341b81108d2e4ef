#include <gtest/gtest.h>

#include "DelegateAccess.h"
#include "FakePlatform.h"
#include "LinkTestSupport.h"
#include "app/StatusPage.h"

namespace tarnwick::app {
namespace {

using fakes::FakePlatform;
using links::testing::healthChecks;

const std::string plaidLink = "tarnwick://plaid-complete";
const std::string redemptionA = "https://tarnwick.com/support/install/aaa/pair";
const std::string redemptionB = "https://tarnwick.com/support/install/bbb/pair";
const std::string inviteA = "tarnwick://desktop-invite?invite=" + redemptionA;
const std::string inviteB = "tarnwick://desktop-invite?invite=" + redemptionB;
const std::string badInvite = "tarnwick://desktop-invite?invite=https://evil.example/x";

std::string pairLink(const std::string& code) {
  return "tarnwick://desktop-pair?server=https://srv.example&code=" + code +
         "&completion_url=https://tarnwick.com/done&completion_token=t";
}
std::string pairPage(const std::string& code) {
  return "http://127.0.0.1:8766/support?server=https://srv.example&code=" + code +
         "&completion_url=https://tarnwick.com/done&completion_token=t";
}

class Router : public testing::Test {
 protected:
  void launch() {
    delegate->applicationDidFinishLaunching();
    forwardBefore = window().broughtForward;
    eventsBefore = platform.application.events.size();
    requestsBefore = platform.http.count();
    healthChecksBefore = healthChecks(platform.http);
  }
  fakes::FakeWindow& window() { return *platform.application.window; }
  std::size_t redemptionPosts() const {
    std::size_t count = 0;
    for (std::size_t index = 0; index < platform.http.count(); ++index) {
      if (platform.http.request(index).method == "POST") {
        ++count;
      }
    }
    return count;
  }
  bool broughtForwardOnce() {
    return window().broughtForward == forwardBefore + 1 &&
           platform.application.events.size() == eventsBefore + 1 &&
           platform.application.events.back() == "activate ignoring other apps";
  }
  std::size_t newHealthChecks() const { return healthChecks(platform.http) - healthChecksBefore; }

  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate = platform.makeDelegate();
  int forwardBefore = 0;
  std::size_t eventsBefore = 0;
  std::size_t requestsBefore = 0;
  std::size_t healthChecksBefore = 0;
};

TEST_F(Router, ABankLinkReturnOnlyBringsTheWindowForwardWhateverElseTheBatchHolds) {
  launch();
  for (const auto& batch : {std::vector{plaidLink, inviteA}, std::vector{inviteA, plaidLink},
                            std::vector{pairLink("ABCD2345"), plaidLink}}) {
    forwardBefore = window().broughtForward;
    eventsBefore = platform.application.events.size();
    auto loadsBefore = platform.application.webView->loads.size();
    delegate->applicationOpenURLs(batch);
    EXPECT_TRUE(broughtForwardOnce());
    EXPECT_FALSE(delegate->pendingInviteURL());
    EXPECT_FALSE(delegate->targetURL());
    EXPECT_EQ(redemptionPosts(), 0u);
    EXPECT_EQ(platform.application.webView->loads.size(), loadsBefore);
  }
}

TEST_F(Router, OnlyTheFirstOfTwoInvitationsIsRedeemed) {
  launch();
  delegate->applicationOpenURLs({inviteA, inviteB});
  EXPECT_TRUE(broughtForwardOnce());
  EXPECT_EQ(delegate->pendingInviteURL(), redemptionA);
  ASSERT_EQ(redemptionPosts(), 1u);
  EXPECT_EQ(platform.http.request(platform.http.count() - 1).url, redemptionA);
}

TEST_F(Router, AnInvitationWinsOverAPairingLinkInEitherOrder) {
  for (bool invitationFirst : {true, false}) {
    FakePlatform fresh;
    auto subject = fresh.makeDelegate();
    subject->applicationDidFinishLaunching();
    auto batch = invitationFirst ? std::vector{inviteA, pairLink("ABCD2345")}
                                 : std::vector{pairLink("ABCD2345"), inviteA};
    subject->applicationOpenURLs(batch);
    EXPECT_EQ(subject->pendingInviteURL(), redemptionA);
    EXPECT_FALSE(subject->targetURL());
    EXPECT_EQ(links::testing::requestsTo(fresh.http, "POST", redemptionA), 1u);
  }
}

TEST_F(Router, AnInvalidInvitationFallsThroughToAPairingLink) {
  launch();
  TarnwickAppDelegateTestAccess::setAttempts(*delegate, 5);
  delegate->applicationOpenURLs({badInvite, "tarnwick://plaid-complete/x", pairLink("ABCD2345")});
  EXPECT_EQ(delegate->targetURL(), pairPage("ABCD2345"));
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_FALSE(delegate->pendingInviteURL());
  EXPECT_TRUE(broughtForwardOnce());
  EXPECT_EQ(redemptionPosts(), 0u);
  EXPECT_EQ(newHealthChecks(), 1u) << "the pairing link connects";
}

TEST_F(Router, ABatchWithNothingAcceptedChangesNothing) {
  launch();
  auto loadsBefore = platform.application.webView->loads.size();
  for (const auto& batch :
       {std::vector<std::string>{},
        std::vector<std::string>{"https://tarnwick.com/", "not a url", badInvite,
                                 pairLink("ABCD234"), "tarnwick://plaid-complete?x"}}) {
    delegate->applicationOpenURLs(batch);
    EXPECT_EQ(window().broughtForward, forwardBefore);
    EXPECT_EQ(platform.application.events.size(), eventsBefore);
    EXPECT_EQ(platform.http.count(), requestsBefore);
    EXPECT_EQ(platform.application.webView->loads.size(), loadsBefore);
    EXPECT_FALSE(delegate->pendingInviteURL());
    EXPECT_FALSE(delegate->targetURL());
  }
}

TEST_F(Router, LinksBeforeTheWindowExistsAreOnlyHeld) {
  delegate->applicationOpenURLs({plaidLink});
  delegate->applicationOpenURLs({pairLink("AAAA2222")});
  delegate->applicationOpenURLs({pairLink("BBBB3333")});  // a later one of a kind replaces it
  EXPECT_EQ(delegate->targetURL(), pairPage("BBBB3333"));
  EXPECT_FALSE(delegate->pendingInviteURL());
  EXPECT_TRUE(platform.application.events.empty());
  EXPECT_FALSE(platform.application.window);
  EXPECT_EQ(platform.http.count(), 0u);
  EXPECT_EQ(platform.mainQueue.pending(), 0u);
}

TEST_F(Router, AHeldPairingLinkIsTheFirstPageLoadedOnceTheConnectorAnswers) {
  delegate->applicationOpenURLs({pairLink("ABCD2345")});
  delegate->applicationDidFinishLaunching();
  EXPECT_EQ(platform.application.webView->loads.front().content,
            statusPageHTML("Connecting to Tarnwick\u2026"));
  ASSERT_EQ(healthChecks(platform.http), 1u);
  platform.http.respondNext(
      fakes::FakeHttpClient::status(200, {{"Server", delegate->connectorSignature()}}, "ok"));
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(platform.application.webView->requestedURLs(),
            std::vector<std::string>{pairPage("ABCD2345")});
}

TEST_F(Router, AHeldInvitationIsRedeemedAtLaunchInsteadOfConnecting) {
  delegate->applicationOpenURLs({inviteB});
  delegate->applicationOpenURLs({inviteA});
  EXPECT_EQ(delegate->pendingInviteURL(), redemptionA);
  EXPECT_EQ(platform.http.count(), 0u);

  delegate->applicationDidFinishLaunching();
  ASSERT_FALSE(platform.application.webView->loads.empty());
  EXPECT_EQ(platform.application.webView->loads.front().content,
            statusPageHTML("Preparing your secure connection\u2026"));
  EXPECT_EQ(platform.application.webView->loads.size(), 1u);
  ASSERT_EQ(platform.http.count(), 1u);
  EXPECT_EQ(platform.http.request(0).method, "POST");
  EXPECT_EQ(platform.http.request(0).url, redemptionA);
  EXPECT_EQ(healthChecks(platform.http), 0u);
}

TEST_F(Router, ASecondPairingLinkReplacesTheTargetAndResetsAttempts) {
  launch();
  delegate->applicationOpenURLs({pairLink("AAAA2222")});
  TarnwickAppDelegateTestAccess::setAttempts(*delegate, 12);  // a series under way
  auto checksBefore = healthChecks(platform.http);
  delegate->applicationOpenURLs({pairLink("bbbb3333")});
  EXPECT_EQ(delegate->targetURL(), pairPage("BBBB3333"));
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_EQ(window().broughtForward, forwardBefore + 2);
  EXPECT_EQ(healthChecks(platform.http), checksBefore + 1);
}

}  // namespace
}  // namespace tarnwick::app
