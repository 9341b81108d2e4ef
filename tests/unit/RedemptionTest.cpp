#include <gtest/gtest.h>

#include <thread>

#include "FakePlatform.h"
#include "LinkTestSupport.h"
#include "app/StatusPage.h"
#include "links/Redemption.h"

namespace tarnwick::app {
namespace {

using fakes::FakeHttpClient;
using fakes::FakePlatform;
using links::testing::healthChecks;
using platform::HttpResponse;

const std::string redemption = "https://tarnwick.com:8443/support/install/abc/pair?src=mail";
const std::string invite =
    "tarnwick://desktop-invite?invite=https://tarnwick.com:8443/support/install/abc/"
    "pair%3Fsrc%3Dmail";
const std::string suffix = " Ask your Tarnwick for a new setup link.";
const std::string defaultMessage = "The setup link could not be prepared.";
const std::string validMembers =
    R"("server_url":"https://srv.example","code":"abcd2345",)"
    R"("completion_url":"https://tarnwick.com/done","completion_token":"t&k")";
const std::string validPage =
    "http://127.0.0.1:8766/support?server=https://srv.example&code=ABCD2345"
    "&completion_url=https://tarnwick.com/done&completion_token=t%26k";

HttpResponse answer(int status, std::optional<std::string> body) {
  return FakeHttpClient::status(status, {{"Content-Type", "application/json"}}, std::move(body));
}

class Redemption : public testing::Test {
 protected:
  // An invitation held at launch, as when a link started the application.
  void launchWithInvitation() {
    delegate->applicationOpenURLs({invite});
    delegate->applicationDidFinishLaunching();
  }
  void answerRedemption(const HttpResponse& response) {
    auto index = links::testing::lastRequest(platform.http, "POST");
    ASSERT_TRUE(index);
    platform.http.respond(*index, response);
    platform.mainQueue.runUntilIdle();
  }
  std::optional<std::string> statusPage() const { return platform.application.webView->lastHTML(); }

  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate = platform.makeDelegate();
};

TEST_F(Redemption, PostsAnEmptyJsonObjectWithOneHeader) {
  launchWithInvitation();
  EXPECT_EQ(statusPage(), statusPageHTML("Preparing your secure connection\u2026"));
  ASSERT_EQ(platform.http.count(), 1u);
  auto request = platform.http.request(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, redemption);
  EXPECT_EQ(request.headers, (platform::HeaderList{{"Content-Type", "application/json"}}));
  EXPECT_EQ(request.body, "{}");
  EXPECT_EQ(request.timeout.count(), 25.0);
  EXPECT_EQ(request.cachePolicy, platform::CachePolicy::protocolDefault);
}

TEST_F(Redemption, EachFailureShowsItsChosenSentenceWithTheSuffix) {
  struct Case {
    const char* name;
    HttpResponse response;
    std::string message;
  };
  HttpResponse notHttp;
  notHttp.body = R"({"error":"Not from an HTTP answer."})";
  notHttp.transportError = "The network connection was lost.";

  const std::vector<Case> cases = {
      {"transfer error", FakeHttpClient::transportError("The request timed out."),
       "The request timed out."},
      {"no HTTP answer, error member ignored", notHttp, "The network connection was lost."},
      {"nothing at all", HttpResponse{}, defaultMessage},
      {"2xx without a body", answer(200, std::nullopt), defaultMessage},
      {"2xx with an empty body", answer(200, ""), defaultMessage},
      {"2xx not JSON", answer(200, "<html>oops</html>"), defaultMessage},
      {"2xx truncated JSON", answer(200, R"({"server_url":"https://srv.exa)"), defaultMessage},
      {"2xx JSON with trailing text", answer(200, "{" + validMembers + "}x"), defaultMessage},
      {"2xx JSON array", answer(200, "[{" + validMembers + "}]"), defaultMessage},
      {"2xx JSON string", answer(200, R"("error")"), defaultMessage},
      {"2xx invalid UTF-8", answer(200, "{\"error\":\"\xC3\x28\"}"), defaultMessage},
      {"2xx member missing",
       answer(200, R"({"server_url":"https://srv.example","code":"ABCD2345",)"
                   R"("completion_url":"https://tarnwick.com/done"})"),
       defaultMessage},
      {"2xx member a number",
       answer(200, R"({"server_url":"https://srv.example","code":12345678,)"
                   R"("completion_url":"https://tarnwick.com/done","completion_token":"t"})"),
       defaultMessage},
      {"2xx member null",
       answer(200, R"({"server_url":"https://srv.example","code":"ABCD2345",)"
                   R"("completion_url":"https://tarnwick.com/done","completion_token":null})"),
       defaultMessage},
      {"2xx strings the builder refuses",
       answer(200, R"({"server_url":"http://srv.example","code":"ABCD2345",)"
                   R"("completion_url":"https://tarnwick.com/done","completion_token":"t"})"),
       defaultMessage},
      {"2xx refused, with an error sentence",
       answer(201, R"({"error":"That link was already used.","server_url":"https://srv.example",)"
                   R"("code":"ABC","completion_url":"https://tarnwick.com/done",)"
                   R"("completion_token":"t"})"),
       "That link was already used."},
      {"4xx error sentence", answer(410, R"({"error":"This setup link has expired."})"),
       "This setup link has expired."},
      {"5xx error sentence", answer(503, R"({"error":"Try again in a minute."})"),
       "Try again in a minute."},
      {"4xx empty error", answer(404, R"({"error":""})"), defaultMessage},
      {"4xx error not a string", answer(400, R"({"error":["no"]})"), defaultMessage},
      {"4xx empty body", answer(400, ""), defaultMessage},
      {"3xx with all members", answer(302, "{" + validMembers + "}"), defaultMessage},
      {"4xx with all members", answer(409, "{" + validMembers + "}"), defaultMessage},
      {"1xx with all members", answer(199, "{" + validMembers + "}"), defaultMessage},
  };

  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    FakePlatform fresh;
    auto subject = fresh.makeDelegate();
    // A pairing page held as well: a failed redemption must leave it as it was.
    subject->applicationOpenURLs(
        {"tarnwick://desktop-pair?server=https://a.example&code=ZZZZ9999"
         "&completion_url=https://tarnwick.com/c"});
    auto heldTarget = subject->targetURL();
    ASSERT_TRUE(heldTarget);
    subject->applicationOpenURLs({invite});
    subject->applicationDidFinishLaunching();
    ASSERT_EQ(fresh.http.count(), 1u);

    fresh.http.respond(0, testCase.response);
    fresh.mainQueue.runUntilIdle();

    EXPECT_EQ(fresh.application.webView->lastHTML(), statusPageHTML(testCase.message + suffix));
    EXPECT_FALSE(subject->pendingInviteURL());
    EXPECT_EQ(subject->targetURL(), heldTarget);
    EXPECT_EQ(healthChecks(fresh.http), 0u) << "no connection follows a failure";
  }
}

TEST_F(Redemption, SuccessOpensThePairingPageEvenWithAnErrorMember) {
  launchWithInvitation();
  answerRedemption(answer(200, R"({"error":"Not shown.",)" + validMembers + "}"));
  EXPECT_FALSE(delegate->pendingInviteURL());
  EXPECT_EQ(delegate->targetURL(), validPage);
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_EQ(statusPage(), statusPageHTML("Preparing your secure connection\u2026"))
      << "no failure is shown";
}

TEST_F(Redemption, TheConnectorIsContactedOnlyAfterSuccess) {
  launchWithInvitation();
  platform.mainQueue.advance(platform::Seconds(4));
  EXPECT_EQ(healthChecks(platform.http), 0u);
  answerRedemption(answer(200, "{" + validMembers + "}"));
  EXPECT_EQ(healthChecks(platform.http), 1u);
}

TEST_F(Redemption, TheAnswerChangesNothingUntilTheMainQueueRunsIt) {
  launchWithInvitation();
  std::thread loader([&] { platform.http.respond(0, answer(200, "{" + validMembers + "}")); });
  loader.join();
  EXPECT_EQ(delegate->pendingInviteURL(), redemption);
  EXPECT_FALSE(delegate->targetURL());
  platform.mainQueue.runUntilIdle();
  EXPECT_FALSE(delegate->pendingInviteURL());
  EXPECT_EQ(delegate->targetURL(), validPage);
}

TEST_F(Redemption, AnAnswerAfterTheDelegateIsGoneIsIgnored) {
  launchWithInvitation();
  auto queued = platform.mainQueue.pending();
  std::weak_ptr<TarnwickAppDelegate> weak = delegate;
  delegate.reset();
  ASSERT_TRUE(weak.expired()) << "the request must not keep the delegate alive";
  platform.http.respond(0, answer(200, "{" + validMembers + "}"));
  EXPECT_EQ(platform.mainQueue.pending(), queued);
  platform.mainQueue.runUntilIdle();
}

TEST_F(Redemption, AHandOverThatOutlivesTheDelegateDoesNothing) {
  launchWithInvitation();
  platform.http.respond(0, FakeHttpClient::transportError("Offline."));
  auto loadsBefore = platform.application.webView->loads.size();
  delegate.reset();
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(platform.application.webView->loads.size(), loadsBefore);
}

TEST_F(Redemption, AnInvitationWhileRunningIsRedeemedAgainEachTime) {
  delegate->applicationDidFinishLaunching();
  delegate->applicationOpenURLs({invite});
  delegate->applicationOpenURLs({invite});
  EXPECT_EQ(links::testing::requestsTo(platform.http, "POST", redemption), 2u);
  EXPECT_EQ(delegate->pendingInviteURL(), redemption);
  EXPECT_EQ(statusPage(), statusPageHTML("Preparing your secure connection\u2026"));
}

TEST(RedemptionOutcome, ComputesWithoutTheDelegate) {
  auto success = links::redemptionOutcome(answer(200, "{" + validMembers + "}"));
  EXPECT_EQ(success, (links::RedemptionOutcome{validPage, ""}));
  auto failure = links::redemptionOutcome(answer(500, R"({"error":"Down."})"));
  EXPECT_EQ(failure, (links::RedemptionOutcome{std::nullopt, "Down." + suffix}));
}

}  // namespace
}  // namespace tarnwick::app
