#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <cstdlib>

#include "FakePlatform.h"
#include "bridge/InterfaceCheck.h"

namespace tarnwick::bridge {
namespace {

// Puts the process in a time zone and an ICU locale for one test, and back afterwards.
class LocalTime {
 public:
  LocalTime(const char* zone, const char* locale) : locale_(icu::Locale::getDefault()) {
    if (const char* previous = std::getenv("TZ")) {
      zone_ = previous;
    }
    ::setenv("TZ", zone, 1);
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(locale), status);
  }
  ~LocalTime() {
    if (zone_) {
      ::setenv("TZ", zone_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(locale_, status);
  }
  LocalTime(const LocalTime&) = delete;
  LocalTime& operator=(const LocalTime&) = delete;

 private:
  std::optional<std::string> zone_;
  icu::Locale locale_;
};

TEST(ArrivedOn, IsTheMediumLocalDateOfAnInternetDateTime) {
  struct Case {
    const char* zone;
    const char* locale;
    std::optional<std::string> timestamp;
    const char* date;
  };
  for (const auto& test :
       std::vector<Case>{{"UTC", "en_US", "2026-12-05T11:44:13Z", "Dec 5, 2026"},
                         {"Etc/GMT+12", "en_US", "2026-12-05T11:44:13Z", "Dec 4, 2026"},
                         {"Pacific/Kiritimati", "en_US", "2026-12-05T11:44:13Z", "Dec 6, 2026"},
                         {"UTC", "de_DE", "2026-12-05T11:44:13Z", "05.12.2026"},
                         {"Pacific/Kiritimati", "de_DE", "2026-12-05T11:44:13Z", "06.12.2026"},
                         {"UTC", "en_US", "2026-12-05T23:30:00-01:00", "Dec 6, 2026"},
                         {"UTC", "en_US", "2026-12-05T00:30:00+01:00", "Dec 4, 2026"},
                         {"UTC", "en_US", "2026-12-05", ""},
                         {"UTC", "en_US", "2026-12-05T11:44:13.250Z", ""},
                         {"UTC", "en_US", "2026-12-05T11:44:13", ""},
                         {"UTC", "en_US", "2026-12-05 11:44:13Z", ""},
                         {"UTC", "en_US", "2026-12-05t11:44:13z", ""},
                         {"UTC", "en_US", "2026-12-05T11:44:13+0100", ""},
                         {"UTC", "en_US", "2026-13-05T11:44:13Z", ""},
                         {"UTC", "en_US", "2026-02-30T11:44:13Z", ""},
                         {"UTC", "en_US", "2026-12-05T24:44:13Z", ""},
                         {"UTC", "en_US", " 2026-12-05T11:44:13Z", ""},
                         {"UTC", "en_US", "2026-12-05T11:44:13Z ", ""},
                         {"UTC", "en_US", "yesterday", ""},
                         {"UTC", "en_US", "", ""},
                         {"UTC", "en_US", std::nullopt, ""}}) {
    LocalTime local(test.zone, test.locale);
    EXPECT_EQ(arrivedOn(test.timestamp), test.date)
        << test.timestamp.value_or("(absent)") << " in " << test.zone << ", " << test.locale;
  }
}

TEST(InterfaceCheckDecoding, TakesStringsAndNullsAndNothingElse) {
  EXPECT_EQ(decodeInterfaceCheck(
                R"({"client_version":"2026.12.1","client_source":"channel","client_installed_at":)"
                R"("2026-12-05T11:44:13Z","last_result":"up to date","last_error":"","x":5})"),
            (InterfaceCheck{"2026.12.1", "channel", "2026-12-05T11:44:13Z", "up to date", ""}));
  EXPECT_EQ(decodeInterfaceCheck("{}"), InterfaceCheck{});
  EXPECT_EQ(decodeInterfaceCheck(R"({"client_version":null,"last_result":"skipped"})"),
            (InterfaceCheck{std::nullopt, std::nullopt, std::nullopt, "skipped", std::nullopt}));
  for (const char* undecodable :
       {R"({"client_version":5})", R"({"last_error":{"message":"x"}})", R"({"last_result":true})",
        R"({"client_source":["channel"]})", R"(["client_version"])", "\"up to date\"",
        "Internal error", "", "{"}) {
    EXPECT_EQ(decodeInterfaceCheck(undecodable), std::nullopt) << undecodable;
  }
}

constexpr const char* note = "N.";
const LoadedInterface page{"2026.12.1", "channel", "token"};

struct OutcomeCase {
  const char* name;
  std::optional<int> status;
  std::optional<InterfaceCheck> check;
  LoadedInterface page;
  InterfaceOutcome outcome;
};

InterfaceCheck answer(std::optional<std::string> version, std::optional<std::string> source,
                      std::optional<std::string> result, std::optional<std::string> error = {},
                      std::optional<std::string> installedAt = {}) {
  return {version, source, installedAt, result, error};
}

InterfaceMessage upToDate(const std::string& detail) {
  return {"Tarnwick Is Up to Date", detail + " " + note};
}

const std::string unreachable =
    std::string(note) +
    " The interface update service could not be reached just now, so you are still on ";

class Outcome : public testing::TestWithParam<OutcomeCase> {};

TEST_P(Outcome, FirstMatchingRuleWins) {
  LocalTime local("UTC", "en_US");
  const auto& test = GetParam();
  EXPECT_EQ(interfaceOutcome(test.status, test.check, test.page, note), test.outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Outcome,
    testing::Values(
        OutcomeCase{"Status500", 500, answer("2026.12.1", "channel", "up to date"), page,
                    InterfaceMessage{"Tarnwick", unreachable + "interface 2026.12.1."}},
        OutcomeCase{"NoAnswer", std::nullopt, std::nullopt, page,
                    InterfaceMessage{"Tarnwick", unreachable + "interface 2026.12.1."}},
        OutcomeCase{"Undecodable", 200, std::nullopt, page,
                    InterfaceMessage{"Tarnwick", unreachable + "interface 2026.12.1."}},
        OutcomeCase{
            "UnreachableWithoutAPageVersion",
            500,
            std::nullopt,
            {"", "", "token"},
            InterfaceMessage{"Tarnwick", unreachable + "the interface loaded in this window."}},
        OutcomeCase{"Installed", 200, answer("2026.12.1", "channel", "installed"), page,
                    InterfaceReloadOffer{"2026.12.1"}},
        OutcomeCase{"InstalledWithMore", 200,
                    answer("2026.12.1", "channel", "installed 2026.12.1 from the channel"), page,
                    InterfaceReloadOffer{"2026.12.1"}},
        OutcomeCase{"InstalledWithoutAChannelVersion", 200,
                    answer("2026.12.1", "bundled", "installed"), page, InterfaceReloadOffer{""}},
        OutcomeCase{"NewerEvenWhenSkipped", 200, answer("2026.12.2", "channel", "skipped"), page,
                    InterfaceReloadOffer{"2026.12.2"}},
        OutcomeCase{"NewerThanABundledPage", 200, answer("2026.12.1", "channel", "up to date"),
                    LoadedInterface{"", "", "token"}, InterfaceReloadOffer{"2026.12.1"}},
        OutcomeCase{"UpToDateWithADate", 200,
                    answer("2026.12.1", "channel", "up to date", {}, "2026-12-05T11:44:13Z"), page,
                    upToDate("You are on the newest interface, 2026.12.1, which arrived Dec 5, "
                             "2026.")},
        OutcomeCase{"UpToDateWithoutADate", 200, answer("2026.12.1", "channel", "up to date"), page,
                    upToDate("You are on the newest interface, 2026.12.1.")},
        OutcomeCase{"UpToDateWithAnUnreadableDate", 200,
                    answer("2026.12.1", "channel", "up to date (checked)", {}, "2026-12-05"), page,
                    upToDate("You are on the newest interface, 2026.12.1.")},
        OutcomeCase{"UpToDateFromAnotherSource", 200,
                    answer("2026.12.1", "bundled", "up to date", "offline."), page,
                    upToDate("The newest interface could not be fetched: offline. You are still on "
                             "the interface packaged with the app.")},
        OutcomeCase{"ChannelInOtherLetterCase", 200, answer("2026.12.1", "Channel", "up to date"),
                    page,
                    upToDate("The newest interface could not be fetched. You are still on the "
                             "interface packaged with the app.")},
        OutcomeCase{"ResultInOtherLetterCase", 200, answer("2026.12.1", "channel", "Up to date"),
                    page,
                    upToDate("The newest interface could not be fetched. You are still on "
                             "2026.12.1.")},
        OutcomeCase{"Skipped", 200, answer("2026.12.1", "channel", "skipped: switched off"), page,
                    upToDate("Interface updates are switched off on this Mac, so it keeps the "
                             "interface it has.")},
        OutcomeCase{"FailedWithATrimmedError", 200,
                    answer("2026.12.1", "channel", "failed", " . Disk full.. "), page,
                    upToDate("The newest interface could not be fetched: Disk full. You are still "
                             "on 2026.12.1.")},
        OutcomeCase{"ErrorOfOnlyPeriodsAndSpaces", 200,
                    answer("2026.12.1", "channel", "failed", ". . ."), page,
                    upToDate("The newest interface could not be fetched. You are still on "
                             "2026.12.1.")},
        OutcomeCase{"AllAbsent", 200, InterfaceCheck{}, page,
                    upToDate("The newest interface could not be fetched. You are still on the "
                             "interface packaged with the app.")}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(InterfaceTexts, NameTheVersionOrSayNone) {
  EXPECT_EQ(reloadOfferText("2026.12.2", note),
            "Interface 2026.12.2 has arrived. Reload now to start using it. N.");
  EXPECT_EQ(reloadOfferText("", note),
            "A newer interface has arrived. Reload now to start using it. N.");
  EXPECT_EQ(interfaceNotReadyMessage(note),
            (InterfaceMessage{"Tarnwick",
                              "N. The interface could not be checked because it has "
                              "not finished loading; try again in a moment."}));
}

}  // namespace
}  // namespace tarnwick::bridge

namespace tarnwick::app {
namespace {

using fakes::FakeHttpClient;
using fakes::FakePlatform;

constexpr const char* checkURL = "http://127.0.0.1:8766/api/client-check";
constexpr const char* channelPage = R"({"version":"2026.12.1","source":"channel","csrf":"tok"})";

class InterfaceReport : public testing::Test {
 protected:
  InterfaceReport() { delegate->applicationDidFinishLaunching(); }

  // Answers the newest page scrape.
  void scrape(const std::optional<std::string>& result) {
    platform.application.webView->scripts.back().completion(result);
  }
  std::optional<std::size_t> checkRequest() const {
    for (std::size_t index = platform.http.count(); index-- > 0;) {
      if (platform.http.request(index).url == checkURL) {
        return index;
      }
    }
    return std::nullopt;
  }
  void answer(const platform::HttpResponse& response) {
    auto index = checkRequest();
    ASSERT_TRUE(index);
    platform.http.respond(*index, response);
    platform.mainQueue.runUntilIdle();
  }
  std::vector<fakes::FakeWindow::Sheet>& sheets() { return platform.application.window->sheets; }

  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate = platform.makeDelegate();
};

TEST_F(InterfaceReport, WithoutAPageTokenNothingIsAsked) {
  for (const std::optional<std::string>& result :
       {std::optional<std::string>(), std::optional<std::string>("not json"),
        std::optional<std::string>(R"({"version":"2026.12.1","source":"channel","csrf":""})")}) {
    delegate->reportInterface("N.");
    EXPECT_EQ(platform.application.webView->scripts.back().source, bridge::metaScrapeScript());
    scrape(result);
    ASSERT_FALSE(sheets().empty());
    EXPECT_EQ(sheets().back().alert.messageText, "Tarnwick");
    EXPECT_EQ(
        sheets().back().alert.informativeText,
        "N. The interface could not be checked because it has not finished loading; try again "
        "in a moment.");
    EXPECT_EQ(sheets().back().alert.buttons, std::vector<std::string>{"OK"});
  }
  EXPECT_FALSE(checkRequest());
}

TEST_F(InterfaceReport, AsksTheConnectorWithThePageToken) {
  delegate->reportInterface("N.");
  scrape(channelPage);
  auto index = checkRequest();
  ASSERT_TRUE(index);
  auto request = platform.http.request(*index);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.headers, (platform::HeaderList{{"Content-Type", "application/json"},
                                                   {"X-Tarnwick-CSRF", "tok"}}));
  EXPECT_EQ(request.body, "{}");
  EXPECT_EQ(request.timeout, platform::Seconds(60));
  EXPECT_EQ(request.cachePolicy, platform::CachePolicy::protocolDefault);
}

TEST_F(InterfaceReport, EndsInOneMessageSheet) {
  struct Case {
    platform::HttpResponse response;
    const char* title;
    const char* message;
  };
  for (
      const auto& test : std::vector<Case>{
          {FakeHttpClient::status(
               200, {},
               R"({"client_version":"2026.12.1","client_source":"channel","last_result":"up to date"})"),
           "Tarnwick Is Up to Date", "You are on the newest interface, 2026.12.1. N."},
          {FakeHttpClient::status(500, {}, "{}"), "Tarnwick",
           "N. The interface update service could not be reached just now, so you are still on "
           "interface 2026.12.1."},
          {FakeHttpClient::status(200, {}, "Internal error"), "Tarnwick",
           "N. The interface update service could not be reached just now, so you are still on "
           "interface 2026.12.1."},
          {FakeHttpClient::status(200, {}, R"({"last_result":5})"), "Tarnwick",
           "N. The interface update service could not be reached just now, so you are still on "
           "interface 2026.12.1."},
          {FakeHttpClient::transportError("Could not connect to the server."), "Tarnwick",
           "N. The interface update service could not be reached just now, so you are still on "
           "interface 2026.12.1."}}) {
    auto sheetsBefore = sheets().size();
    delegate->reportInterface("N.");
    scrape(channelPage);
    answer(test.response);
    ASSERT_EQ(sheets().size(), sheetsBefore + 1);
    EXPECT_EQ(sheets().back().alert.messageText, test.title);
    EXPECT_EQ(sheets().back().alert.informativeText, test.message);
  }
}

TEST_F(InterfaceReport, OffersAReloadThatOnlyReloadNowCarriesOut) {
  for (std::size_t button : {1u, 0u}) {
    delegate->reportInterface("N.");
    scrape(channelPage);
    answer(FakeHttpClient::status(
        200, {},
        R"({"client_version":"2026.12.3","client_source":"channel","last_result":"installed"})"));
    const auto& alert = sheets().back().alert;
    EXPECT_EQ(alert.messageText, "A Newer Interface Is Ready");
    EXPECT_EQ(alert.informativeText,
              "Interface 2026.12.3 has arrived. Reload now to start using it. N.");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Reload Now", "Later"}));
    EXPECT_EQ(alert.style, platform::AlertStyle::informational);
    sheets().back().completion(button);
    EXPECT_EQ(platform.application.webView->reloadsFromOrigin, button == 0 ? 1 : 0);
  }
  EXPECT_EQ(sheets().size(), 2u) << "the offer is the only sheet";
}

TEST_F(InterfaceReport, TheDelegateIsHeldOnlyFromTheRequestToItsAnswer) {
  delegate->reportInterface("N.");
  std::weak_ptr<TarnwickAppDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired()) << "the page scrape holds it weakly";
  scrape(channelPage);
  EXPECT_FALSE(checkRequest());
  EXPECT_TRUE(sheets().empty());

  delegate = platform.makeDelegate();
  delegate->applicationDidFinishLaunching();
  delegate->reportInterface("N.");
  scrape(channelPage);
  weak = delegate;
  delegate.reset();
  ASSERT_FALSE(weak.expired()) << "the request holds it until its answer";
  answer(FakeHttpClient::status(500));
  EXPECT_EQ(sheets().size(), 1u) << "and its answer is still shown";
}

}  // namespace
}  // namespace tarnwick::app
