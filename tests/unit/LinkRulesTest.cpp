#include <gtest/gtest.h>

#include <boost/url/encoding_opts.hpp>
#include <boost/url/parse.hpp>
#include <map>
#include <optional>
#include <string>

#include "links/Invitation.h"
#include "links/LocalPairing.h"
#include "links/PlaidCompletion.h"
#include "links/SchemeFamily.h"
#include "links/Url.h"

namespace tarnwick::links {
namespace {

Url url(std::string_view text) {
  auto parsed = Url::parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(*Url::parse("x:"));
}

// --- The URL value ---

TEST(Url, KeepsAbsentAndEmptyComponentsApart) {
  auto bare = url("x://h");
  EXPECT_FALSE(bare.query());
  EXPECT_FALSE(bare.fragment());
  EXPECT_FALSE(bare.user());
  EXPECT_FALSE(bare.password());
  EXPECT_TRUE(bare.queryItems().empty());

  EXPECT_EQ(url("x://h?").query(), "");
  EXPECT_EQ(url("x://h#").fragment(), "");
  EXPECT_EQ(url("x://@h").user(), "");
  EXPECT_FALSE(url("x://@h").password());
  EXPECT_EQ(url("x://u:@h").password(), "");
  EXPECT_EQ(url("x://u:p@h").user(), "u");
}

TEST(Url, ReadsQueryItemsDecodedAndKeepsPlusSigns) {
  auto items = url("x://h?a&b=&c=1&d=a+b%2B%26%3D&%41=v").queryItems();
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0], (QueryItem{"a", std::nullopt}));
  EXPECT_EQ(items[1], (QueryItem{"b", ""}));
  EXPECT_EQ(items[2], (QueryItem{"c", "1"}));
  EXPECT_EQ(items[3], (QueryItem{"d", "a+b+&="}));
  EXPECT_EQ(items[4], (QueryItem{"A", "v"}));
}

TEST(Url, AnEmptyQueryHasNoItemsEvenBeforeAFragment) {
  for (const char* text : {"x://h?", "x://h?#", "x://h?#f", "tarnwick://desktop-pair?#x"}) {
    auto parsed = url(text);
    EXPECT_EQ(parsed.query(), "") << text;
    EXPECT_TRUE(parsed.queryItems().empty()) << text;
  }
  EXPECT_EQ(url("x://h?&#f").queryItems().size(), 2u);
}

TEST(Url, HostIsAbsentWithoutAuthorityOrWhenEmptyAndKeptAsWritten) {
  EXPECT_FALSE(url("tarnwick:plaid-complete").host());
  EXPECT_FALSE(url("https:///x").host());
  EXPECT_FALSE(url("/relative").scheme());
  EXPECT_EQ(url("x://Ab%2Dc:80/").host(), "Ab%2Dc");
}

TEST(Url, RefusesTextThatIsNoURL) {
  for (const char* text : {"has space://x", "x://h/%zz", "x://h/a b", "x://h\nx", "x://[::1"}) {
    EXPECT_FALSE(Url::parse(text)) << text;
  }
}

// --- Scheme family ---

TEST(SchemeFamily, AcceptsTheWordWithOptionalDigitsInAnyCase) {
  const std::map<std::string, bool> cases = {
      {"tarnwick://x", true},    {"TARNWICK://x", true},      {"Tarnwick3://x", true},
      {"tarnwick007://x", true}, {"tarnwick-dev://x", false}, {"tarnwicks://x", false},
      {"xtarnwick://x", false},  {"https://x", false},        {"http://x", false},
      {"tarnwick3a://x", false}, {"/no-scheme", false},
  };
  for (const auto& [text, accepted] : cases) {
    EXPECT_EQ(isTarnwickScheme(url(text)), accepted) << text;
  }
}

// --- Bank-link completion ---

TEST(PlaidCompletion, AcceptsOnlyTheBareLink) {
  const std::map<std::string, bool> cases = {
      {"tarnwick://plaid-complete", true},
      {"tarnwick://plaid-complete/", true},
      {"TARNWICK2://Plaid-Complete", true},
      {"tarnwick://PLAID-COMPLETE", true},
      {"tarnwick://plaid-complete:9/", true},
      {"tarnwick://plaid-complete//", false},
      {"tarnwick://plaid-complete/x", false},
      {"tarnwick://plaid-complete/done", false},
      {"tarnwick://plaid-complete?", false},
      {"tarnwick://plaid-complete?x", false},
      {"tarnwick://plaid-complete?status=ok", false},
      {"tarnwick://plaid-complete#", false},
      {"tarnwick://plaid-complete#x", false},
      {"tarnwick://@plaid-complete", false},
      {"tarnwick://u@plaid-complete", false},
      {"tarnwick://:p@plaid-complete", false},
      {"tarnwick://plaid-completed", false},
      {"tarnwick://plaid%2Dcomplete", false},
      {"tarnwick:plaid-complete", false},
      {"https://plaid-complete", false},
      {"tarnwick-dev://plaid-complete", false},
  };
  for (const auto& [text, accepted] : cases) {
    EXPECT_EQ(plaidCompletionURL(url(text)), accepted) << text;
  }
}

// --- Invitations ---

constexpr std::string_view redemption = "https://tarnwick.com/support/install/abc/pair";

std::optional<std::string> invitation(std::string_view link) {
  auto result = invitationURL(url(link));
  return result ? std::optional(result->text()) : std::nullopt;
}

TEST(Invitation, TakesTheDecodedValueOfTheFirstInviteItem) {
  const std::map<std::string, std::optional<std::string>> cases = {
      {"tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/abc/pair",
       std::string(redemption)},
      {"tarnwick://"
       "desktop-invite?invite=https%3A%2F%2Ftarnwick.com%2Fsupport%2Finstall%2Fabc%2Fpair",
       std::string(redemption)},
      {"Tarnwick3://DESKTOP-INVITE?invite=https://tarnwick.com/support/install/abc/pair",
       std::string(redemption)},
      // Path, user, fragment and other items of the link itself do not matter.
      {"tarnwick://u:p@desktop-invite:5/any/path?x=1&invite=https://tarnwick.com/support/install/"
       "abc/pair#frag",
       std::string(redemption)},
      // A redemption query must be escaped inside the link, or its "&" splits the outer query.
      {"tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/abc/pair%3Fa%3D1%26b"
       "%3D2",
       "https://tarnwick.com/support/install/abc/pair?a=1&b=2"},
      {"tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/abc/pair?a=1&b=2",
       "https://tarnwick.com/support/install/abc/pair?a=1"},
      // An unescaped "#" ends the link's query: the fragment is the link's, and ignored.
      {"tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/abc/pair#x",
       std::string(redemption)},
      {"tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/abc/pair%23x",
       std::nullopt},
      {"tarnwick://desktop-invite?invite=https://tarnwick.com/support/install/abc/pair&invite=x",
       std::string(redemption)},
      {"tarnwick://desktop-invite?invite&invite=https://tarnwick.com/support/install/abc/pair",
       std::nullopt},
      {"tarnwick://desktop-invite?invite=&invite=https://tarnwick.com/support/install/abc/pair",
       std::nullopt},
      {"tarnwick://desktop-invite?Invite=https://tarnwick.com/support/install/abc/pair",
       std::nullopt},
      {"tarnwick://desktop-invite", std::nullopt},
      {"tarnwick://desktop-invite?", std::nullopt},
      {"tarnwick://desktop-invite?invite=not%20a%20url", std::nullopt},
      {"tarnwick://desktop-invites?invite=https://tarnwick.com/support/install/abc/pair",
       std::nullopt},
      {"https://desktop-invite?invite=https://tarnwick.com/support/install/abc/pair", std::nullopt},
  };
  for (const auto& [link, expected] : cases) {
    EXPECT_EQ(invitation(link), expected) << link;
  }
}

TEST(Invitation, RedemptionURLMustBeHttpsOnTheServiceHostWithARedemptionPath) {
  const std::map<std::string, bool> cases = {
      {"https://tarnwick.com/support/install/abc/pair", true},
      {"https://tarnwick.com/support/install/Ab_9-x/pair", true},
      {"https://TARNWICK.COM/support/install/abc/pair", true},
      {"HTTPS://tarnwick.com/support/install/abc/pair", true},
      {"https://tarnwick.com:8443/support/install/abc/pair?q=1", true},
      {"https://tarnwick.com/support/install/abc/pair/", false},
      {"https://tarnwick.com/support/install//pair", false},
      {"https://tarnwick.com/support/install/a.b/pair", false},
      {"https://tarnwick.com/support/install/./pair", false},
      {"https://tarnwick.com/support/install/a%62c/pair", false},
      {"https://tarnwick.com/Support/install/abc/pair", false},
      {"https://tarnwick.com/support/install/abc/pair/x", false},
      {"https://tarnwick.com/x/support/install/abc/pair", false},
      {"https://sub.tarnwick.com/support/install/abc/pair", false},
      {"https://tarnwick.com.example/support/install/abc/pair", false},
      {"https://eviltarnwick.com/support/install/abc/pair", false},
      {"http://tarnwick.com/support/install/abc/pair", false},
      {"https://u@tarnwick.com/support/install/abc/pair", false},
      {"https://:p@tarnwick.com/support/install/abc/pair", false},
      {"https://tarnwick.com/support/install/abc/pair#", false},
      {"//tarnwick.com/support/install/abc/pair", false},
  };
  for (const auto& [text, accepted] : cases) {
    EXPECT_EQ(isRedemptionURL(url(text)), accepted) << text;
    // The same value carried by a link, escaped as a whole.
    auto link = "tarnwick://desktop-invite?invite=" + encodeQueryComponent(text);
    EXPECT_EQ(invitation(link), accepted ? std::optional(text) : std::nullopt) << link;
  }
}

// --- Local pairing ---

constexpr std::string_view server = "https://srv.example";
constexpr std::string_view completion = "https://tarnwick.com/done";

std::optional<std::string> pairingPage(std::string_view link) {
  auto result = localPairingURL(url(link));
  return result ? std::optional(result->text()) : std::nullopt;
}

// The query of a pairing page as a reader gets it back, with "+" read as a plus or as a space.
std::map<std::string, std::string> readBack(const std::string& page, bool plusAsSpace) {
  auto parsed = boost::urls::parse_uri(page);
  EXPECT_TRUE(parsed.has_value()) << page;
  std::map<std::string, std::string> items;
  if (!parsed) {
    return items;
  }
  EXPECT_EQ(parsed->encoded_origin(), "http://127.0.0.1:8766");
  EXPECT_EQ(parsed->encoded_path(), "/support");
  EXPECT_FALSE(parsed->has_fragment());
  for (auto item : parsed->params(boost::urls::encoding_opts(plusAsSpace, false, false))) {
    EXPECT_TRUE(items.emplace(item.key, item.value).second) << "repeated " << item.key;
  }
  return items;
}

TEST(LocalPairing, BuildsThePairingPageInItemOrder) {
  EXPECT_EQ(pairingPage("tarnwick://desktop-pair?code=abcd2345&server=https://srv.example"
                        "&completion_token=t0k&completion_url=https://tarnwick.com/done"),
            "http://127.0.0.1:8766/support?server=https://srv.example&code=ABCD2345"
            "&completion_url=https://tarnwick.com/done&completion_token=t0k");
}

TEST(LocalPairing, ChecksEachParameter) {
  const std::string rest = "&server=https://srv.example&completion_url=https://tarnwick.com/done";
  const std::map<std::string, bool> codes = {
      {"ABCD2345", true},  {"abcd2345", true},    {"OIOI2345", true},      {"ZZZZ9999", true},
      {"ABCD234", false},  {"ABCD23456", false},  {"ABCD2340", false},     {"ABCD2341", false},
      {"ABC-2345", false}, {"ABC%202345", false}, {"ABCD%C3%8423", false}, {"", false},
  };
  for (const auto& [code, accepted] : codes) {
    auto link = "tarnwick://desktop-pair?code=" + code + rest;
    EXPECT_EQ(pairingPage(link).has_value(), accepted) << link;
  }

  const std::string code = "tarnwick://desktop-pair?code=ABCD2345";
  const std::map<std::string, bool> others = {
      {"&server=https://srv.example&completion_url=https://tarnwick.com/done", true},
      {"&server=HTTPS://srv.example&completion_url=https://TARNWICK.COM/done", true},
      {"&completion_url=https://tarnwick.com/done", false},
      {"&server=&completion_url=https://tarnwick.com/done", false},
      {"&server=http://srv.example&completion_url=https://tarnwick.com/done", false},
      {"&server=https:///path&completion_url=https://tarnwick.com/done", false},
      {"&server=https:srv.example&completion_url=https://tarnwick.com/done", false},
      {"&server=srv.example&completion_url=https://tarnwick.com/done", false},
      {"&server=https://srv.example", false},
      {"&server=https://srv.example&completion_url=http://tarnwick.com/done", false},
      {"&server=https://srv.example&completion_url=https://other.example/done", false},
      {"&server=https://srv.example&completion_url=https://sub.tarnwick.com/done", false},
  };
  for (const auto& [items, accepted] : others) {
    EXPECT_EQ(pairingPage(code + items).has_value(), accepted) << items;
  }

  EXPECT_FALSE(
      pairingPage("https://desktop-pair?code=ABCD2345&server=https://srv.example"
                  "&completion_url=https://tarnwick.com/done"));
  EXPECT_FALSE(
      pairingPage("tarnwick://desktop-pairs?code=ABCD2345&server=https://srv.example"
                  "&completion_url=https://tarnwick.com/done"));
}

TEST(LocalPairing, ReadsTheLinksQueryItems) {
  const std::string rest = "server=https://srv.example&completion_url=https://tarnwick.com/done";
  // The first item of a name wins, valid or not.
  EXPECT_FALSE(pairingPage("tarnwick://desktop-pair?code=bad&code=ABCD2345&" + rest));
  auto firstWins = pairingPage("tarnwick://desktop-pair?code=ABCD2345&code=bad&" + rest);
  ASSERT_TRUE(firstWins);
  EXPECT_EQ(readBack(*firstWins, false).at("code"), "ABCD2345");
  // Without "=" an item is the empty text.
  EXPECT_FALSE(pairingPage("tarnwick://desktop-pair?code&" + rest));
  // Names are case-sensitive.
  EXPECT_FALSE(pairingPage("tarnwick://desktop-pair?Code=ABCD2345&" + rest));

  auto noToken = pairingPage("tarnwick://desktop-pair?code=ABCD2345&" + rest);
  ASSERT_TRUE(noToken);
  EXPECT_EQ(readBack(*noToken, false).at("completion_token"), "");

  // The link's own path, user, port and fragment do not matter.
  EXPECT_EQ(pairingPage("TARNWICK9://u@Desktop-Pair:7/p/q?code=ABCD2345&" + rest + "#f"), noToken);
}

TEST(LocalPairing, PassesServerAndCompletionURLOnUnchanged) {
  auto page = makeLocalPairingURL("https://Srv.Example:8443/base/path/?x=1", "ABCD2345",
                                  "https://TARNWICK.COM:444/complete?id=7", "tok");
  ASSERT_TRUE(page);
  auto items = readBack(page->text(), false);
  EXPECT_EQ(items.at("server"), "https://Srv.Example:8443/base/path/?x=1");
  EXPECT_EQ(items.at("completion_url"), "https://TARNWICK.COM:444/complete?id=7");
}

TEST(LocalPairing, EveryValueReadsBackIntact) {
  const std::string awkwardServer = "https://srv.example/p?a=1&b=2+3&c=%41#frag";
  const std::string awkwardCompletion = "https://tarnwick.com/done?u=a%26b&v=x=y";
  const std::string awkwardToken = "a&b=c+d #e%zz;f\xC3\xA9/?:@\t";
  auto page = makeLocalPairingURL(awkwardServer, "abcd2345", awkwardCompletion, awkwardToken);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->text().find(' '), std::string::npos);
  EXPECT_EQ(page->text().find('#'), std::string::npos);
  EXPECT_EQ(page->text().find('+'), std::string::npos);
  // The server's "?" is escaped too: the one left starts the query.
  EXPECT_EQ(page->text().find('?'), page->text().find("?server="));
  EXPECT_EQ(page->text().find('?', page->text().find('?') + 1), std::string::npos);
  // Readers that take "+" for a space get the same values as those that do not.
  for (bool plusAsSpace : {false, true}) {
    auto items = readBack(page->text(), plusAsSpace);
    EXPECT_EQ(items, (std::map<std::string, std::string>{{"server", awkwardServer},
                                                         {"code", "ABCD2345"},
                                                         {"completion_url", awkwardCompletion},
                                                         {"completion_token", awkwardToken}}));
  }
}

TEST(LocalPairing, AServerWithAnEscapedQueryInTheLinkKeepsItsAmpersand) {
  auto page = pairingPage(
      "tarnwick://desktop-pair?server=https%3A%2F%2Fsrv.example%2F%3Fa%3D1%26b%3D2&code=ABCD2345"
      "&completion_url=https://tarnwick.com/done%3Fx%3D1%26y%3D2&completion_token=t");
  ASSERT_TRUE(page);
  auto items = readBack(*page, false);
  EXPECT_EQ(items.at("server"), "https://srv.example/?a=1&b=2");
  EXPECT_EQ(items.at("completion_url"), "https://tarnwick.com/done?x=1&y=2");
  EXPECT_NE(page->find("%26"), std::string::npos);
}

// --- Long links: a desktop entry may pass 128 KiB in one argument and the activation channel
// carries 64 KiB; every rule must answer such a link, not run out of stack on it. ---

TEST(LongLinks, EveryRuleAnswersInsteadOfCrashing) {
  auto filled = [](std::string head, std::size_t length, std::string tail = "") {
    head.append(length - head.size() - tail.size(), 'a');
    return head + tail;
  };
  const std::string install = "https://tarnwick.com/support/install/";
  const std::string pairRest = "&server=https://srv.example&completion_url=https://tarnwick.com/d";
  struct Case {
    std::string link;
    bool scheme, plaid, invitation, pairing;
  };
  const Case cases[] = {
      {filled("tarnwick://desktop-pair?code=", 120'000), true, false, false, false},
      {filled("tarnwick://desktop-pair?code=ABCD2345" + pairRest + "&completion_token=", 120'000),
       true, false, false, true},
      {filled("tarnwick://desktop-invite?invite=" + install, 60'000, "/pair"), true, false, true,
       false},
      {filled("tarnwick://desktop-invite?invite=" + install, 60'000, "./pair"), true, false, false,
       false},
      {filled("tarnwick://plaid-complete/", 120'000), true, false, false, false},
      {"tarnwick" + std::string(120'000, '7') + "://plaid-complete", true, true, false, false},
      {filled("tarnwick", 120'000, "://plaid-complete"), false, false, false, false},
  };
  for (const auto& c : cases) {
    auto link = url(c.link);
    auto head = c.link.substr(0, 40);
    EXPECT_EQ(isTarnwickScheme(link), c.scheme) << head;
    EXPECT_EQ(plaidCompletionURL(link), c.plaid) << head;
    EXPECT_EQ(invitationURL(link).has_value(), c.invitation) << head;
    EXPECT_EQ(localPairingURL(link).has_value(), c.pairing) << head;
  }
  auto accepted = invitationURL(url(cases[2].link));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->path().size(),
            60'000 - std::string("tarnwick://desktop-invite?invite=https://tarnwick.com").size());
}

}  // namespace
}  // namespace tarnwick::links
