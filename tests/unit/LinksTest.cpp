// Links of the scheme family: the URL value, the three kinds of link, redemption and routing.
#include "Shell.h"
#include "links/Invitation.h"
#include "links/LocalPairing.h"
#include "links/PlaidCompletion.h"
#include "links/Redemption.h"
#include "links/SchemeFamily.h"

namespace tarnwick::testing_support {
namespace {

using namespace links;

Url url(std::string_view text) {
  auto parsed = Url::parse(text);
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(*Url::parse("x:"));
}
template <typename Rule>
void expectRule(Rule rule, const char* accepted, const char* refused,
                const std::map<char, std::string>& marks = {}) {
  for (const auto& text : rows(accepted)) {
    EXPECT_TRUE(rule(url(expand(text, marks)))) << text;
  }
  for (const auto& text : rows(refused)) {
    EXPECT_FALSE(rule(url(expand(text, marks)))) << text;
  }
}

TEST(Url, ReadsQueryItemsDecodedWithPlusKept) {
  EXPECT_EQ(
      url("x://h?a&b=&c=1&d=a+b%2B%26%3D&%41=v").queryItems(),
      (std::vector<QueryItem>{{"a", {}}, {"b", ""}, {"c", "1"}, {"d", "a+b+&="}, {"A", "v"}}));
}

TEST(Links, TheSchemeFamilyAndTheBankLinkReturn) {
  expectRule(isTarnwickScheme, "tarnwick://x;TARNWICK://x;Tarnwick3://x;tarnwick007://x",
             "tarnwick-dev://x;tarnwicks://x;xtarnwick://x;https://x;tarnwick3a://x;/x");
  expectRule(plaidCompletionURL,
             "$P;$P/;TARNWICK2://Plaid-Complete;tarnwick://PLAID-COMPLETE;$P:9/",
             "$P//;$P/x;$P?;$P?x;$P#;$P#x;tarnwick://@plaid-complete;tarnwick://u@plaid-complete;"
             "tarnwick://:p@plaid-complete;$Pd;tarnwick://plaid%2Dcomplete;tarnwick:plaid-complete;"
             "https://plaid-complete",
             {{'P', "tarnwick://plaid-complete"}});
}

const std::map<char, std::string> invitation = {
    {'L', "tarnwick://desktop-invite?invite="},
    {'R', "https://tarnwick.com/support/install/abc/pair"},
    {'S', "https://tarnwick.com/support/install/"}};

TEST(Invitation, IsTheDecodedValueOfTheFirstInviteItemOnTheServicesRedemptionPath) {
  // the link | the redemption URL it carries, or "-"
  for (const auto& row :
       rows("$L$R|$R;$Lhttps%3A%2F%2Ftarnwick.com%2Fsupport%2Finstall%2Fabc%2Fpair|$R;"
            "Tarnwick3://DESKTOP-INVITE?invite=$R|$R;$L$R%3Fa%3D1%26b%3D2|$R?a=1&b=2;"
            "tarnwick://u@desktop-invite:5/p?x&invite=$R#f|$R;$L$R?a=1&b=2|$R?a=1;"
            "$L$R&invite=x|$R;$L$R%23x|-;tarnwick://desktop-invite?invite&invite=$R|-;"
            "tarnwick://desktop-invite?Invite=$R|-;tarnwick://desktop-invite|-;"
            "$Lnot%20a%20url|-;https://desktop-invite?invite=$R|-")) {
    auto redemption = invitationURL(url(expand(cells(row)[0], invitation)));
    EXPECT_EQ(redemption ? redemption->text() : "-", expand(cells(row)[1], invitation)) << row;
  }
  expectRule(isRedemptionURL,
             "$R;$SAb_9-x/pair;https://TARNWICK.COM/support/install/abc/pair;"
             "HTTPS://tarnwick.com:8443/support/install/abc/pair?q=1",
             "$R/;$S/pair;$Sa.b/pair;$Sa%62c/pair;https://tarnwick.com/Support/install/abc/pair;"
             "$R/x;https://sub.tarnwick.com/support/install/abc/pair;$R#;"
             "https://tarnwick.com.example/support/install/abc/pair;"
             "http://tarnwick.com/support/install/abc/pair;"
             "https://u@tarnwick.com/support/install/abc/pair;"
             "https://:p@tarnwick.com/support/install/abc/pair",
             invitation);
}

const std::map<char, std::string> pairingMarks = {
    {'L', "tarnwick://desktop-pair?code="},
    {'S', "&server=https://srv.example"},
    {'U', "&completion_url=https://tarnwick.com/done"}};

TEST(LocalPairing, BuildsTheConnectorsPairingPageFromTheFourItems) {
  auto page = [&](const char* link) {
    auto found = localPairingURL(url(expand(link, pairingMarks)));
    return found ? found->text() : "-";
  };
  EXPECT_EQ(page("$Labcd2345$S&completion_token=t0k$U"),
            "http://127.0.0.1:8766/support?server=https://srv.example&code=ABCD2345"
            "&completion_url=https://tarnwick.com/done&completion_token=t0k");
  for (const auto& link :
       rows("$LOIOI2345$S$U;$LZZZZ9999$S$U;$LABCD2345&server=HTTPS://s.example:8/p?x$U;"
            "$LABCD2345$S&completion_url=https://TARNWICK.COM/d")) {
    EXPECT_NE(page(link.c_str()), "-") << link;
  }
  for (const auto& link : rows(
           "$LABCD234$S$U;$LABCD23456$S$U;$LABCD2340$S$U;$LABCD2341$S$U;$LABC-2345$S$U;"
           "$LABC%202345$S$U;$LABCD%C3%8423$S$U;$Lbad&code=ABCD2345$S$U;"
           "tarnwick://desktop-pair?code$S$U;$LABCD2345$U;$LABCD2345&server=$U;"
           "$LABCD2345&server=http://srv.example$U;$LABCD2345&server=https:///p$U;"
           "$LABCD2345&server=srv.example$U;$LABCD2345$S;"
           "$LABCD2345$S&completion_url=http://tarnwick.com/d;"
           "$LABCD2345$S&completion_url=https://a.example/d;https://desktop-pair?code=ABCD2345$S$U;"
           "$LABCD2345$S&completion_url=https://sub.tarnwick.com/d;"
           "tarnwick://desktop-pair?Code=ABCD2345$S$U;tarnwick://"
           "desktop-pairs?code=ABCD2345$S$U")) {
    EXPECT_EQ(page(link.c_str()), "-") << link;
  }
  // The first item of a name wins; the link's path, user, port and fragment do not matter.
  EXPECT_EQ(page("TARNWICK9://u@Desktop-Pair:7/p?code=ABCD2345&code=bad$S$U#f"),
            "http://127.0.0.1:8766/support?server=https://srv.example&code=ABCD2345"
            "&completion_url=https://tarnwick.com/done&completion_token=");
  // Every reserved character of a value is escaped, "+" and space too, so any reader gets it back.
  const std::string server = "https://Srv.Example:8443/p?a=1&b=2+3&c=%41#frag";
  const std::string completion = "https://TARNWICK.COM:444/done?u=a%26b&v=x=y";
  const std::string token = "a&b=c+d #e%zz;f\xC3\xA9/?:@\t~-._";
  auto awkward = makeLocalPairingURL(server, "abcd2345", completion, token);
  ASSERT_TRUE(awkward);
  EXPECT_EQ(awkward->text(),
            "http://127.0.0.1:8766/support?server=https://Srv.Example:8443/"
            "p%3Fa%3D1%26b%3D2%2B3%26c%3D%2541%23frag"
            "&code=ABCD2345&completion_url=https://TARNWICK.COM:444/done%3Fu%3Da%2526b%26v%3Dx%3Dy"
            "&completion_token=a%26b%3Dc%2Bd%20%23e%25zz%3Bf%C3%A9/%3F:@%09~-._");
}

const std::map<char, std::string> members = {
    {'S', R"("server_url":"https://srv.example")"},
    {'C', R"("code":"abcd2345")"},
    {'U', R"("completion_url":"https://tarnwick.com/done")"},
    {'T', R"("completion_token":"t&k")"}};
const std::string pairing =
    "http://127.0.0.1:8766/support?server=https://srv.example&code=ABCD2345"
    "&completion_url=https://tarnwick.com/done&completion_token=t%26k";

TEST(Redemption, AnAnswerGivesThePairingPageOrItsSentenceAndTheSuffix) {
  auto request = redemptionRequest("https://tarnwick.com/support/install/a/pair?s=1");
  EXPECT_EQ(std::tie(request.method, request.url, request.headers, request.body, request.timeout,
                     request.cachePolicy),
            std::make_tuple("POST", "https://tarnwick.com/support/install/a/pair?s=1",
                            platform::HeaderList{{"Content-Type", "application/json"}}, "{}",
                            Seconds(25), platform::CachePolicy::protocolDefault));
  // status ("-" for no HTTP answer) | body ("-" for none) | the sentence ("-" for the default one,
  // "" for success)
  for (const auto& row :
       rows("-|-|-;200|-|-;200||-;200|<html>|-;200|{\"server_url\":\"https://s|-;"
            "200|{$S,$C,$U,$T}x|-;200|[{$S,$C,$U,$T}]|-;200|\"error\"|-;"
            "200|{\"error\":\"\xC3\x28\"}|-;200|{$S,$C,$U}|-;200|{$S,\"code\":12345678,$U,$T}|-;"
            "200|{\"server_url\":\"http://s.example\",$C,$U,$T}|-;"
            "201|{\"error\":\"That link was already used.\",$S,\"code\":\"ABC\",$U,$T}|"
            "That link was already used.;"
            "410|{\"error\":\"This setup link has expired.\"}|This setup link has expired.;"
            "404|{\"error\":\"\"}|-;400|{\"error\":[\"no\"]}|-;302|{$S,$C,$U,$T}|-;"
            "409|{$S,$C,$U,$T}|-;199|{$S,$C,$U,$T}|-;"
            "200|{\"error\":\"Not shown.\",$S,$C,$U,$T}|;299|{$S,$C,$U,$T}|")) {
    auto cell = cells(row);
    auto response = cell[0] == "-" ? HttpResponse{} : FakeHttpClient::status(std::stoi(cell[0]));
    if (cell[1] != "-") {
      response.body = expand(cell[1], members);
    }
    auto outcome = redemptionOutcome(response);
    EXPECT_EQ(outcome.pairingURL.value_or("-") + "|" + outcome.failureMessage,
              cell[2].empty()
                  ? pairing + "|"
                  : "-|" + (cell[2] == "-" ? "The setup link could not be prepared." : cell[2]) +
                        " Ask your Tarnwick for a new setup link.")
        << row;
  }
  auto lost = FakeHttpClient::transportError("The network connection was lost.");
  lost.body = R"({"error":"Not from an HTTP answer."})";
  EXPECT_EQ(redemptionOutcome(lost).failureMessage,
            "The network connection was lost. Ask your Tarnwick for a new setup link.");
}

const std::string redemptionA = "https://tarnwick.com/support/install/aaa/pair";
const std::string inviteA = "tarnwick://desktop-invite?invite=" + redemptionA;
std::string pairLink(const std::string& code) {
  return "tarnwick://desktop-pair?server=https://srv.example&code=" + code +
         "&completion_url=https://tarnwick.com/done";
}
std::string pairPage(const std::string& code) {
  return "http://127.0.0.1:8766/support?server=https://srv.example&code=" + code +
         "&completion_url=https://tarnwick.com/done&completion_token=";
}

class Router : public Shell {
 protected:
  std::string posts() const {
    std::string urls;
    for (const auto& pending : platform.http.requests) {
      urls += pending.request.method == "POST" ? pending.request.url + " " : "";
    }
    return urls;
  }
};

TEST_F(Router, OneLinkActsForTheBatchBankLinkReturnFirstThenInvitationThenPairing) {
  const std::map<char, std::string> marks = {
      {'P', "tarnwick://plaid-complete"},
      {'I', inviteA},
      {'J', "tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/b/pair"},
      {'K', pairLink("abcd2345")},
      {'R', redemptionA},
      {'T', pairPage("ABCD2345")}};
  // the batch, space-separated | the redemption posted | the pairing page to load | window forward
  for (const auto& row :
       rows("$P $I|||y;$K TARNWICK://plaid-complete/|||y;$I $J|$R||y;"
            "$K $I|$R||y;"
            "tarnwick://desktop-invite?invite=https://evil.example/x $P/x $K||$T|y;"
            "|||n;https://tarnwick.com/ %% tarnwick://desktop-pair?code=ABCD2345 $P?x|||n")) {
    auto cell = cells(expand(row, marks));
    std::vector<std::string> batch;
    std::istringstream words(cell[0]);
    for (std::string link; words >> link;) {
      batch.push_back(link);
    }
    auto fresh = platform.makeDelegate();
    fresh->applicationDidFinishLaunching();
    platform.http.requests.clear();
    platform.application.events.clear();
    auto pages = page().pages.size();
    fresh->applicationOpenURLs(batch);
    EXPECT_EQ(joined(platform.application.events), cell[3] == "y" ? "front activate ignoring" : "")
        << row;
    EXPECT_EQ(posts() + "|" + fresh->pendingInviteURL().value_or("") + "|" +
                  fresh->targetURL().value_or(""),
              (cell[1].empty() ? "" : cell[1] + " ") + "|" + cell[1] + "|" + cell[2])
        << row;
    EXPECT_EQ(healthChecks(), cell[2].empty() ? 0 : 1) << "a pairing link connects";
    EXPECT_EQ(page().pages.size(), pages + !cell[1].empty()) << "the redemption's progress page";
  }
}

TEST_F(Router, LinksBeforeTheWindowExistsAreOnlyHeldForLaunch) {
  delegate->applicationOpenURLs({"tarnwick://plaid-complete"});
  delegate->applicationOpenURLs({pairLink("AAAA2222")});
  delegate->applicationOpenURLs({pairLink("BBBB3333")});
  EXPECT_EQ(delegate->targetURL(), pairPage("BBBB3333"));
  EXPECT_EQ(
      platform.application.events.size() + platform.http.count() + platform.mainQueue.pending(),
      0U);
  launch();
  EXPECT_EQ(status(), app::statusPageHTML("Connecting to Tarnwick\u2026"));
  answer(healthy);
  EXPECT_EQ(page().requested, std::vector<std::string>{pairPage("BBBB3333")});
  // Once the root page has loaded, later reconnections return to it.
  for (const char* deeper :
       {"http://127.0.0.1:8766/support?code=A", "http://127.0.0.1:8766//", "about:blank", ""}) {
    page().currentURL = *deeper ? std::optional<std::string>(deeper) : std::nullopt;
    delegate->webViewDidFinishNavigation();
    EXPECT_EQ(delegate->targetURL(), pairPage("BBBB3333")) << deeper;
  }
  page().currentURL = "http://127.0.0.1:8766/";
  delegate->webViewDidFinishNavigation();
  EXPECT_EQ(delegate->targetURL(), "http://127.0.0.1:8766/");
}

TEST_F(Router, AHeldInvitationIsRedeemedAtLaunchAndConnectsOnlyOnceItSucceeds) {
  delegate->applicationOpenURLs(
      {"tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/b/pair"});
  delegate->applicationOpenURLs({inviteA});
  delegate->applicationOpenURLs({pairLink("ZZZZ9999")});
  launch();
  EXPECT_EQ(page().pages, std::vector<std::string>{
                              app::statusPageHTML("Preparing your secure connection\u2026")});
  EXPECT_EQ(posts(), redemptionA + " ");
  platform.mainQueue.advance(Seconds(4));
  // A failure shows its sentence and leaves the held pairing page as it was.
  platform.http.respond(0, FakeHttpClient::status(410, {}, R"({"error":"Expired."})"));
  EXPECT_EQ(delegate->pendingInviteURL(), redemptionA) << "until the main queue runs it";
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(status(), app::statusPageHTML("Expired. Ask your Tarnwick for a new setup link."));
  EXPECT_FALSE(delegate->pendingInviteURL());
  EXPECT_EQ(delegate->targetURL(), pairPage("ZZZZ9999"));
  EXPECT_EQ(healthChecks(), 0);
  // While running, each invitation is redeemed again; success opens its pairing page.
  const std::string success = expand("{$S,$C,$U,$T}", members);
  delegate->applicationOpenURLs({inviteA});
  platform.http.respondNext(FakeHttpClient::status(200, {}, success), redemptionA);
  platform.mainQueue.runUntilIdle();
  EXPECT_FALSE(delegate->pendingInviteURL());
  answer(healthy);
  EXPECT_EQ(page().requested, std::vector<std::string>{pairing});
  // Answers, or their hand-overs, that outlive the delegate do nothing.
  delegate->applicationOpenURLs({inviteA});
  delegate->applicationOpenURLs({inviteA});
  platform.http.respondNext(FakeHttpClient::status(200, {}, success), redemptionA);
  delegate.reset();
  platform.http.respondNext(FakeHttpClient::status(200, {}, success), redemptionA);
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(healthChecks(), 1);
}

}  // namespace
}  // namespace tarnwick::testing_support
