// Links of the scheme family: the URL value, the three kinds of link, redemption and routing.
#include <boost/url/encoding_opts.hpp>
#include <boost/url/parse.hpp>
#include <map>

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
void expectRule(Rule rule, const std::vector<std::string>& accepted,
                const std::vector<std::string>& refused) {
  for (const auto& text : accepted) {
    EXPECT_TRUE(rule(url(text))) << text;
  }
  for (const auto& text : refused) {
    EXPECT_FALSE(rule(url(text))) << text;
  }
}

TEST(Url, KeepsAbsentAndEmptyComponentsApartAndReadsItemsDecodedWithPlusKept) {
  auto bare = url("x://h");
  EXPECT_FALSE(bare.query() || bare.fragment() || bare.user() || bare.password() ||
               url("x://@h").password());
  EXPECT_EQ(url("x://h?").query().value() + url("x://h#").fragment().value() +
                url("x://@h").user().value() + url("x://u:@h").password().value() +
                url("x://u:p@h").user().value(),
            "u");
  EXPECT_EQ(
      url("x://h?a&b=&c=1&d=a+b%2B%26%3D&%41=v").queryItems(),
      (std::vector<QueryItem>{{"a", {}}, {"b", ""}, {"c", "1"}, {"d", "a+b+&="}, {"A", "v"}}));
  for (const char* empty : {"x://h?", "x://h?#", "x://h?#f"}) {
    EXPECT_TRUE(url(empty).queryItems().empty()) << empty;
  }
  EXPECT_EQ(url("x://h?&#f").queryItems().size(), 2U);
  EXPECT_FALSE(url("tarnwick:plaid-complete").host() || url("https:///x").host() ||
               url("/relative").scheme());
  EXPECT_EQ(url("x://Ab%2Dc:80/").host(), "Ab%2Dc");
  for (const char* text : {"has space://x", "x://h/%zz", "x://h/a b", "x://h\nx", "x://[::1"}) {
    EXPECT_FALSE(Url::parse(text)) << text;
  }
}

TEST(Links, TheSchemeFamilyAndTheBankLinkReturn) {
  expectRule(
      isTarnwickScheme, {"tarnwick://x", "TARNWICK://x", "Tarnwick3://x", "tarnwick007://x"},
      {"tarnwick-dev://x", "tarnwicks://x", "xtarnwick://x", "https://x", "tarnwick3a://x", "/x"});
  const std::string plaid = "tarnwick://plaid-complete";
  expectRule(
      plaidCompletionURL,
      {plaid, plaid + "/", "TARNWICK2://Plaid-Complete", "tarnwick://PLAID-COMPLETE",
       plaid + ":9/"},
      {plaid + "//", plaid + "/x", plaid + "?", plaid + "?x", plaid + "#", plaid + "#x",
       "tarnwick://@plaid-complete", "tarnwick://u@plaid-complete", "tarnwick://:p@plaid-complete",
       plaid + "d", "tarnwick://plaid%2Dcomplete", "tarnwick:plaid-complete",
       "https://plaid-complete", "tarnwick-dev://plaid-complete"});
}

const std::string redemption = "https://tarnwick.com/support/install/abc/pair";
const std::string inviteLink = "tarnwick://desktop-invite?invite=";
std::string invitation(const std::string& link) {
  auto found = invitationURL(url(link));
  return found ? found->text() : "-";
}

TEST(Invitation, IsTheDecodedValueOfTheFirstInviteItemOnTheServicesRedemptionPath) {
  // the link, with R for the redemption URL | the redemption URL it carries, or "-"
  for (const char* row :
       {"tarnwick://desktop-invite?invite=R|R", "Tarnwick3://DESKTOP-INVITE?invite=R|R",
        "tarnwick://u:p@desktop-invite:5/any?x=1&invite=R#frag|R", "L=R%3Fa%3D1%26b%3D2|R?a=1&b=2",
        "L=R?a=1&b=2|R?a=1", "L=R#x|R", "L=R%23x|-", "L=R&invite=x|R",
        "tarnwick://desktop-invite?invite&invite=R|-", "L=&invite=R|-",
        "tarnwick://desktop-invite?Invite=R|-", "tarnwick://desktop-invite|-",
        "tarnwick://desktop-invite?|-", "L=not%20a%20url|-",
        "tarnwick://desktop-invites?invite=R|-", "https://desktop-invite?invite=R|-"}) {
    auto cell = cells(row);
    for (auto* text : {&cell[0], &cell[1]}) {
      for (auto [from, to] : {std::pair{"L=", inviteLink}, std::pair{"R", redemption}}) {
        if (auto at = text->find(from); at != std::string::npos && (from[0] != 'L' || at == 0)) {
          text->replace(at, std::string(from).size(), to);
        }
      }
    }
    EXPECT_EQ(invitation(cell[0]), cell[1]) << row;
  }
  EXPECT_EQ(invitation(inviteLink + "https%3A%2F%2Ftarnwick.com%2Fsupport%2Finstall%2Fabc%2Fpair"),
            redemption);
  const std::string site = "https://tarnwick.com/support/install/";
  const std::vector<std::string> accepted = {
      redemption, site + "Ab_9-x/pair", "https://TARNWICK.COM/support/install/abc/pair",
      "HTTPS://tarnwick.com/support/install/abc/pair",
      "https://tarnwick.com:8443/support/install/abc/pair?q=1"};
  const std::vector<std::string> refused = {redemption + "/",
                                            site + "/pair",
                                            site + "a.b/pair",
                                            site + "a%62c/pair",
                                            "https://tarnwick.com/Support/install/abc/pair",
                                            redemption + "/x",
                                            "https://tarnwick.com/x/support/install/abc/pair",
                                            "https://sub.tarnwick.com/support/install/abc/pair",
                                            "https://tarnwick.com.example/support/install/abc/pair",
                                            "https://eviltarnwick.com/support/install/abc/pair",
                                            "http://tarnwick.com/support/install/abc/pair",
                                            "https://u@tarnwick.com/support/install/abc/pair",
                                            "https://:p@tarnwick.com/support/install/abc/pair",
                                            redemption + "#",
                                            "//tarnwick.com/support/install/abc/pair"};
  expectRule(isRedemptionURL, accepted, refused);
  for (const auto& text : accepted) {  // carried by a link, escaped as a whole
    EXPECT_EQ(invitation(inviteLink + encodeQueryComponent(text)), text);
  }
  for (const auto& text : refused) {
    EXPECT_EQ(invitation(inviteLink + encodeQueryComponent(text)), "-");
  }
}

std::string pairingPage(const std::string& link) {
  auto page = localPairingURL(url(link));
  return page ? page->text() : "-";
}
// The page's query as a reader gets it back, taking "+" for a plus or for a space.
std::map<std::string, std::string> readBack(const std::string& page, bool plusAsSpace) {
  auto parsed = boost::urls::parse_uri(page);
  EXPECT_EQ(std::string(parsed->encoded_origin()) + std::string(parsed->encoded_path()),
            "http://127.0.0.1:8766/support");
  std::map<std::string, std::string> items;
  for (auto item : parsed->params(boost::urls::encoding_opts(plusAsSpace, false, false))) {
    EXPECT_TRUE(items.emplace(item.key, item.value).second) << "repeated " << item.key;
  }
  return items;
}
const std::string rest = "&server=https://srv.example&completion_url=https://tarnwick.com/done";

TEST(LocalPairing, BuildsTheConnectorsPairingPageFromTheFourItems) {
  EXPECT_EQ(pairingPage("tarnwick://desktop-pair?code=abcd2345&server=https://srv.example"
                        "&completion_token=t0k&completion_url=https://tarnwick.com/done"),
            "http://127.0.0.1:8766/support?server=https://srv.example&code=ABCD2345"
            "&completion_url=https://tarnwick.com/done&completion_token=t0k");
  for (const char* code : {"ABCD2345", "abcd2345", "OIOI2345", "ZZZZ9999"}) {
    EXPECT_NE(pairingPage(std::string("tarnwick://desktop-pair?code=") + code + rest), "-") << code;
  }
  for (const char* code : {"ABCD234", "ABCD23456", "ABCD2340", "ABCD2341", "ABC-2345", "ABC%202345",
                           "ABCD%C3%8423", "", "bad&code=ABCD2345", "&code=ABCD2345"}) {
    EXPECT_EQ(pairingPage(std::string("tarnwick://desktop-pair?code=") + code + rest), "-") << code;
  }
  const std::string code = "tarnwick://desktop-pair?code=ABCD2345",
                    done = "&completion_url=https://tarnwick.com/d";
  for (const char* server : {"HTTPS://srv.example", "https://s.example:8/p?x"}) {
    EXPECT_NE(pairingPage(code + "&server=" + server + "&completion_url=https://TARNWICK.COM/d"),
              "-");
  }
  for (const std::string& items : std::vector<std::string>{
           done, "&server=" + done, "&server=http://srv.example" + done,
           "&server=https:///path" + done, "&server=https:srv.example" + done,
           "&server=srv.example" + done, std::string("&server=https://srv.example"),
           "&server=https://srv.example&completion_url=http://tarnwick.com/d",
           "&server=https://srv.example&completion_url=https://other.example/d",
           "&server=https://srv.example&completion_url=https://sub.tarnwick.com/d"}) {
    EXPECT_EQ(pairingPage(code + items), "-") << items;
  }
  for (const char* other :
       {"https://desktop-pair?", "tarnwick://desktop-pairs?", "tarnwick://desktop-pair?Code"}) {
    EXPECT_EQ(pairingPage(other + std::string("code=ABCD2345") + rest), "-") << other;
  }
  // The first item of a name wins; the link's path, user, port and fragment do not matter.
  EXPECT_EQ(
      readBack(pairingPage("TARNWICK9://u@Desktop-Pair:7/p?code=ABCD2345&code=bad" + rest + "#f"),
               false),
      (std::map<std::string, std::string>{{"server", "https://srv.example"},
                                          {"code", "ABCD2345"},
                                          {"completion_url", "https://tarnwick.com/done"},
                                          {"completion_token", ""}}));
}

TEST(LocalPairing, EscapesEveryValueSoThatAnyReaderGetsItBackIntact) {
  const std::string server = "https://Srv.Example:8443/p?a=1&b=2+3&c=%41#frag";
  const std::string completion = "https://TARNWICK.COM:444/done?u=a%26b&v=x=y";
  const std::string token = "a&b=c+d #e%zz;f\xC3\xA9/?:@\t~-._";
  auto page = makeLocalPairingURL(server, "abcd2345", completion, token);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->text(),
            "http://127.0.0.1:8766/support?server=https://Srv.Example:8443/"
            "p%3Fa%3D1%26b%3D2%2B3%26c%3D%2541%23frag"
            "&code=ABCD2345&completion_url=https://TARNWICK.COM:444/done%3Fu%3Da%2526b%26v%3Dx%3Dy"
            "&completion_token=a%26b%3Dc%2Bd%20%23e%25zz%3Bf%C3%A9/%3F:@%09~-._");
  for (bool plusAsSpace : {false, true}) {
    EXPECT_EQ(readBack(page->text(), plusAsSpace),
              (std::map<std::string, std::string>{{"server", server},
                                                  {"code", "ABCD2345"},
                                                  {"completion_url", completion},
                                                  {"completion_token", token}}));
  }
}

// A desktop entry may pass 128 KiB in one argument: every rule answers, in linear time.
TEST(Links, EveryRuleAnswersALongLink) {
  auto filled = [](std::string head, std::size_t length, const std::string& tail = "") {
    return head.append(length - head.size() - tail.size(), 'a') + tail;
  };
  const std::string install = inviteLink + "https://tarnwick.com/support/install/";
  // scheme, bank-link return, invitation, pairing link
  for (const auto& [link, rules] : std::vector<std::pair<std::string, std::string>>{
           {filled("tarnwick://desktop-pair?code=", 120'000), "yes no no no"},
           {filled("tarnwick://desktop-pair?code=ABCD2345" + rest + "&completion_token=", 120'000),
            "yes no no yes"},
           {filled(install, 60'000, "/pair"), "yes no yes no"},
           {filled(install, 60'000, "./pair"), "yes no no no"},
           {filled("tarnwick://plaid-complete/", 120'000), "yes no no no"},
           {"tarnwick" + std::string(120'000, '7') + "://plaid-complete", "yes yes no no"},
           {filled("tarnwick", 120'000, "://plaid-complete"), "no no no no"}}) {
    auto parsed = url(link);
    const bool answers[] = {isTarnwickScheme(parsed), plaidCompletionURL(parsed),
                            invitationURL(parsed).has_value(), localPairingURL(parsed).has_value()};
    std::string found;
    for (bool answer : answers) {
      found += found.empty() ? (answer ? "yes" : "no") : (answer ? " yes" : " no");
    }
    EXPECT_EQ(found, rules) << link.substr(0, 40);
  }
}

const std::string members =
    R"("server_url":"https://srv.example","code":"abcd2345",)"
    R"("completion_url":"https://tarnwick.com/done","completion_token":"t&k")";
const std::string pairing =
    "http://127.0.0.1:8766/support?server=https://srv.example&code=ABCD2345"
    "&completion_url=https://tarnwick.com/done&completion_token=t%26k";

TEST(Redemption, AnswersGiveThePairingPageOrTheirSentenceWithTheSuffix) {
  auto request = redemptionRequest("https://tarnwick.com/support/install/a/pair?s=1");
  EXPECT_EQ(std::tie(request.method, request.url, request.headers, request.body, request.timeout,
                     request.cachePolicy),
            std::make_tuple("POST", "https://tarnwick.com/support/install/a/pair?s=1",
                            platform::HeaderList{{"Content-Type", "application/json"}}, "{}",
                            Seconds(25), platform::CachePolicy::protocolDefault));
  // status ("-" for no HTTP answer) | body ("-" for none; M for the four valid members) | sentence
  // ("-" for the default one)
  for (const char* row :
       {"-|-|-",
        "200|-|-",
        "200||-",
        "200|<html>|-",
        "200|{\"server_url\":\"https://srv.exa|-",
        "200|{M}x|-",
        "200|[{M}]|-",
        "200|\"error\"|-",
        "200|{\"error\":\"\xC3\x28\"}|-",
        "200|{\"server_url\":\"https://"
        "srv.example\",\"code\":\"ABCD2345\",\"completion_url\":\"https://t"
        "arnwick.com/done\"}|-",
        "200|{\"server_url\":\"https://srv.example\",\"code\":12345678,\"completion_url\":\"https:/"
        "/tarnwic"
        "k.com/done\",\"completion_token\":\"t\"}|-",
        "200|{\"server_url\":\"http://"
        "srv.example\",\"code\":\"ABCD2345\",\"completion_url\":\"https://tarn"
        "wick.com/done\",\"completion_token\":\"t\"}|-",
        "201|{\"error\":\"That link was already "
        "used.\",\"server_url\":\"https://s.example\",\"code\":\"ABC\","
        "\"completion_url\":\"https://tarnwick.com/d\",\"completion_token\":\"t\"}|That link was "
        "already used.",
        "410|{\"error\":\"This setup link has expired.\"}|This setup link has expired.",
        "503|{\"error\":\"Try again in a minute.\"}|Try again in a minute.",
        "404|{\"error\":\"\"}|-",
        "400|{\"error\":[\"no\"]}|-",
        "302|{M}|-",
        "409|{M}|-",
        "199|{M}|-",
        "200|{\"error\":\"Not shown.\",M}|",
        "204|{M}|",
        "299|{M}|"}) {
    auto cell = cells(row);
    HttpResponse response;
    if (cell[0] != "-") {
      response = FakeHttpClient::status(std::stoi(cell[0]));
    }
    if (auto at = cell[1].find('M'); at != std::string::npos && cell[1] != "-") {
      cell[1].replace(at, 1, members);
    }
    if (cell[1] != "-") {
      response.body = cell[1];
    }
    const std::string sentence = cell[2] == "-" ? "The setup link could not be prepared." : cell[2];
    EXPECT_EQ(redemptionOutcome(response),
              (cell[2].empty()
                   ? RedemptionOutcome{pairing, ""}
                   : RedemptionOutcome{{}, sentence + " Ask your Tarnwick for a new setup link."}))
        << row;
  }
  auto lost = FakeHttpClient::transportError("The network connection was lost.");
  lost.body = R"({"error":"Not from an HTTP answer."})";
  EXPECT_EQ(redemptionOutcome(lost).failureMessage,
            "The network connection was lost. Ask your Tarnwick for a new setup link.");
}

const std::string redemptionA = "https://tarnwick.com/support/install/aaa/pair";
const std::string inviteA = inviteLink + redemptionA;
const std::string inviteB = inviteLink + "https://tarnwick.com/support/install/bbb/pair";
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
      urls += pending.request.method == "POST" ? pending.request.url : "";
    }
    return urls;
  }
};

TEST_F(Router, OneLinkActsForTheBatchBankLinkReturnFirstThenInvitationThenPairing) {
  struct Row {
    std::vector<std::string> batch;
    std::string posted, target;  // "" for none
    bool forward;
  };
  for (const auto& row :
       std::vector<Row>{{{"tarnwick://plaid-complete", inviteA}, "", "", true},
                        {{pairLink("ABCD2345"), "TARNWICK://plaid-complete/"}, "", "", true},
                        {{inviteA, inviteB}, redemptionA, "", true},
                        {{pairLink("ABCD2345"), inviteA}, redemptionA, "", true},
                        {{inviteLink + "https://evil.example/x", "tarnwick://plaid-complete/x",
                          pairLink("abcd2345")},
                         "",
                         pairPage("ABCD2345"),
                         true},
                        {{}, "", "", false},
                        {{"https://tarnwick.com/", "not a url", pairLink("ABCD234"),
                          "tarnwick://plaid-complete?x"},
                         "",
                         "",
                         false}}) {
    auto fresh = platform.makeDelegate();
    fresh->applicationDidFinishLaunching();
    platform.http.requests.clear();
    platform.application.events.clear();
    auto pages = page().pages.size();
    fresh->applicationOpenURLs(row.batch);
    EXPECT_EQ(joined(platform.application.events), row.forward ? "front activate ignoring" : "");
    EXPECT_EQ(posts() + "|" + fresh->pendingInviteURL().value_or(""),
              row.posted + "|" + row.posted);
    EXPECT_EQ(fresh->targetURL().value_or(""), row.target);
    EXPECT_EQ(healthChecks(), row.target.empty() ? 0 : 1) << "a pairing link connects";
    EXPECT_EQ(page().pages.size(), pages + !row.posted.empty()) << "the redemption's progress page";
  }
}

TEST_F(Router, ASecondPairingLinkReplacesTheTargetAndBeginsAFreshSeries) {
  launch();
  answer(healthy);
  delegate->applicationOpenURLs({pairLink("AAAA2222")});
  for (int check = 0; check < 3; ++check) {
    answer(refused);
    platform.mainQueue.advance(Seconds(0.5));
  }
  ASSERT_EQ(delegate->attempts(), 3);
  delegate->applicationOpenURLs({pairLink("bbbb3333")});
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_EQ(answerAll(healthy), 2) << "the poll's check and the link's";
  EXPECT_EQ(joined(page().requested),
            "http://127.0.0.1:8766/ " + pairPage("BBBB3333") + " " + pairPage("BBBB3333"));
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
  EXPECT_EQ(status(), statusPage("Connecting to Tarnwick\u2026"));
  answer(healthy);
  EXPECT_EQ(page().requested, std::vector<std::string>{pairPage("BBBB3333")});
  // Once the root page has loaded, later reconnections return to it.
  for (const char* deeper :
       {"http://127.0.0.1:8766/support?code=A", "http://127.0.0.1:8766/a/",
        "http://127.0.0.1:8766/a?b=/", "http://127.0.0.1:8766//", "about:blank"}) {
    page().currentURL = deeper;
    delegate->webViewDidFinishNavigation();
    EXPECT_EQ(delegate->targetURL(), pairPage("BBBB3333")) << deeper;
  }
  page().currentURL.reset();
  delegate->webViewDidFinishNavigation();
  page().currentURL = "http://127.0.0.1:8766/";
  delegate->webViewDidFinishNavigation();
  EXPECT_EQ(delegate->targetURL(), "http://127.0.0.1:8766/");
}

TEST_F(Router, AHeldInvitationIsRedeemedAtLaunchAndConnectsOnlyOnceItSucceeds) {
  delegate->applicationOpenURLs({inviteB});
  delegate->applicationOpenURLs({inviteA});
  delegate->applicationOpenURLs({pairLink("ZZZZ9999")});
  EXPECT_EQ(delegate->pendingInviteURL(), redemptionA);
  launch();
  EXPECT_EQ(page().pages,
            std::vector<std::string>{statusPage("Preparing your secure connection\u2026")});
  EXPECT_EQ(posts(), redemptionA);
  platform.mainQueue.advance(Seconds(4));
  EXPECT_EQ(healthChecks(), 0);
  // A failure shows its sentence and leaves the held pairing page as it was.
  platform.http.respond(0, FakeHttpClient::status(410, {}, R"({"error":"Expired."})"));
  EXPECT_EQ(delegate->pendingInviteURL(), redemptionA) << "until the main queue runs it";
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(status(), statusPage("Expired. Ask your Tarnwick for a new setup link."));
  EXPECT_FALSE(delegate->pendingInviteURL());
  EXPECT_EQ(delegate->targetURL(), pairPage("ZZZZ9999"));
  EXPECT_EQ(healthChecks(), 0);
  // While running, each invitation is redeemed again; success opens its pairing page.
  delegate->applicationOpenURLs({inviteA});
  platform.http.respondNext(FakeHttpClient::status(200, {}, "{" + members + "}"), redemptionA);
  platform.mainQueue.runUntilIdle();
  EXPECT_FALSE(delegate->pendingInviteURL());
  answer(healthy);
  EXPECT_EQ(page().requested, std::vector<std::string>{pairing});
  // Answers, or their hand-overs, that outlive the delegate do nothing.
  delegate->applicationOpenURLs({inviteA});
  delegate->applicationOpenURLs({inviteA});
  platform.http.respondNext(FakeHttpClient::status(200, {}, "{" + members + "}"), redemptionA);
  delegate.reset();
  platform.http.respondNext(FakeHttpClient::status(200, {}, "{" + members + "}"), redemptionA);
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(healthChecks(), 1);
}

}  // namespace
}  // namespace tarnwick::testing_support
