// The page's unlock request, the loaded interface and title, and the interface check report.
#include <unicode/locid.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "Shell.h"
#include "bridge/InterfaceCheck.h"
#include "bridge/UnlockRequest.h"

namespace tarnwick::testing_support {
namespace {

using namespace bridge;
using namespace std::string_literals;
using platform::FrameInfo;

const FrameInfo interfacePage{true, {"http", "127.0.0.1", 8766}};
const std::string eventStart =
    "window.dispatchEvent(new CustomEvent('tarnwick-financial-unlock',{detail:";

class Unlock : public Shell {
 protected:
  Unlock() { launch(); }
  void post(const std::string& body, const FrameInfo& frame = interfacePage,
            const std::string& name = "tarnwickFinancialUnlock") {
    delegate->webViewDidReceiveScriptMessage(name, body, frame);
  }
  static std::string request(const std::string& id) { return R"({"request_id":")" + id + "\"}"; }
  // The events dispatched into the page, each as "request_id ok".
  std::string events() {
    std::string found;
    for (const auto& [script, completion] : page().scripts) {
      EXPECT_TRUE(script.starts_with(eventStart) && script.ends_with("}));") && !completion);
      EXPECT_EQ(script.find(' ', eventStart.size()), std::string::npos) << "compact";
      auto detail = nlohmann::json::parse(
          script.substr(eventStart.size(), script.size() - eventStart.size() - 4));
      found += (found.empty() ? "" : ", ") + detail["request_id"].get<std::string>() +
               (detail["ok"].get<bool>() ? " ok" : " refused");
    }
    return found;
  }
};

TEST_F(Unlock, OnlyTheInterfacesTopPageWithAnIdentifierIsAskedAndTheReplyIsItsEvent) {
  const std::string hundred = std::string(96, 'a') + "-0Z9";
  for (const auto& body :
       {request("abcd-123"), request(hundred), request("--------"),
        R"({"a":[1,{"b":null}],"request_id":"AbCd-1234","x":"\")" + std::string(40, '[') + "\"}"}) {
    post(body);
  }
  for (const auto& body :
       {request("abc-123"), request(hundred + "x"), request("abcd_1234"), request("abcd\u00e91234"),
        R"({"request_id":12345678})"s, R"({"requestId":"abcd-1234"})"s, R"(["abcd-1234"])"s, ""s,
        R"({"request_id":"abcd-1234")"s,
        R"({"request_id":"abcd-1234","x":)" + std::string(33, '[') + std::string(33, ']') + "}",
        R"({"request_id":"abcd-1234","x":")" + std::string(64 << 10, 'x') + "\"}"}) {
    post(body);
  }
  for (const auto& frame : std::vector<FrameInfo>{{false, interfacePage.origin},
                                                  {true, {"http", "localhost", 8766}},
                                                  {true, {"https", "127.0.0.1", 8766}},
                                                  {true, {"http", "127.0.0.1", 8767}}}) {
    post(request("abcd-1234"), frame);
  }
  post(request("abcd-1234"), interfacePage, "tarnwickOtherRequest");
  EXPECT_EQ(platform.deviceOwnerAuth.asked,
            std::vector<std::string>(4, "Cancel|Unlock Tarnwick Business financial data"))
      << "one question per accepted request, no other";
  // Replies in any order and from any thread become events on the main queue.
  auto& replies = platform.deviceOwnerAuth.replies;
  std::thread([&] { replies[1](false); }).join();
  replies[3](true);
  EXPECT_TRUE(page().scripts.empty());
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(events(), hundred + " refused, AbCd-1234 ok");
}

TEST_F(Unlock, WithoutDeviceOwnerAuthenticationTheRefusalComesAtOnce) {
  platform.deviceOwnerAuth.available = false;
  post(request("abcd-1234"));
  EXPECT_EQ(events(), "abcd-1234 refused");
  EXPECT_TRUE(platform.deviceOwnerAuth.replies.empty());
  EXPECT_EQ(financialUnlockScript("abcd\xff-1234", false), std::nullopt);
}

TEST_F(Unlock, TheTitleNamesAChannelInterfaceAfterEveryLoadElseTheShell) {
  // what the page's script gave ("-" for nothing) | title
  for (const auto& row :
       rows(R"({"version":"2026.12.1","source":"channel","csrf":"x"}|Tarnwick · Interface )"
            R"(2026.12.1;{"version":"2026.12.1","source":"Channel","csrf":""}|Tarnwick 2.0.1;)"
            R"({"version":"","source":"channel","csrf":""}|Tarnwick 2.0.1;)"
            R"({"version":"1","source":"channel"}|Tarnwick 2.0.1;not json|Tarnwick 2.0.1;)"
            R"({"version":1,"source":"channel","csrf":""}|Tarnwick 2.0.1;-|Tarnwick 2.0.1)")) {
    window().setTitle("");
    delegate->webViewDidFinishNavigation();
    ASSERT_EQ(page().scripts.back().first, metaScrapeScript());
    page().scripts.back().second(cells(row)[0] == "-" ? std::nullopt
                                                      : std::optional(cells(row)[0]));
    EXPECT_EQ(window().title(), cells(row)[1]) << row;
  }
  platform.makeDelegate()->webViewDidFinishNavigation();  // no page yet: no title either
  delegate->webViewDidFinishNavigation();
  delegate.reset();
  page().scripts.back().second(R"({"version":"9","source":"channel","csrf":""})");
  EXPECT_EQ(window().title(), "Tarnwick 2.0.1");
}

// The process in a time zone and an ICU locale, and back afterwards.
struct LocalTime {
  LocalTime(const std::string& zone, const char* locale) {
    ::setenv("TZ", zone.c_str(), 1);
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(locale), status);
  }
  ~LocalTime() {
    ::unsetenv("TZ");
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
  }
};

TEST(ArrivedOn, IsTheMediumLocalDateOfAnInternetDateTime) {
  for (const auto& row : rows("UTC|2026-12-05T11:44:13Z|Dec 5, 2026;"
                              "Etc/GMT+12|2026-12-05T11:44:13Z|Dec 4, 2026;"
                              "Pacific/Kiritimati|2026-12-05T11:44:13Z|Dec 6, 2026;"
                              "UTC|2026-12-05T23:30:00-01:00|Dec 6, 2026;"
                              "UTC|2026-12-05T00:30:00+01:00|Dec 4, 2026")) {
    LocalTime local(cells(row)[0], "en_US");
    EXPECT_EQ(arrivedOn(cells(row)[1]), cells(row)[2]) << row;
  }
  LocalTime german("Pacific/Kiritimati", "de_DE");
  EXPECT_EQ(arrivedOn("2026-12-05T11:44:13Z"), "06.12.2026");
  for (const auto& stamp :
       rows("2026-12-05;2026-12-05T11:44:13.250Z;2026-12-05T11:44:13;"
            "2026-12-05t11:44:13z;2026-12-05T11:44:13+0100;"
            "2026-02-30T11:44:13Z;2026-12-05T24:44:13Z;2026-12-05T11:44:13Z ;")) {
    EXPECT_EQ(arrivedOn(stamp), "") << stamp;
  }
  EXPECT_EQ(arrivedOn(std::nullopt), "");
}

TEST(InterfaceCheck, TheFirstMatchingRuleChoosesTheReport) {
  LocalTime utc("UTC", "en_US");
  const std::map<char, std::string> marks = {
      {'V', R"({"client_version":"2026.12.1","client_source":)"},
      {'R', R"("last_result":)"},
      {'F', "Tarnwick Is Up to Date|The newest interface could not be fetched"},
      {'P', ". You are still on the interface packaged with the app. N."},
      {'U',
       "Tarnwick|N. The interface update service could not be reached just now, so you are "
       "still on "},
      {'N', "Tarnwick Is Up to Date|You are on the newest interface, 2026.12.1"}};
  // status ("-" for none) | answer ("-" for none) | page P (channel 2026.12.1) or B (bundled, no
  // version) | "offer" and its version, or the title and the message
  for (const auto& row :
       rows(R"(500|$V"channel"}|P|$Uinterface 2026.12.1.;-|-|P|$Uinterface 2026.12.1.;)"
            R"(200|Internal error|P|$Uinterface 2026.12.1.;200|{$R5}|P|$Uinterface 2026.12.1.;)"
            R"(500|{}|B|$Uthe interface loaded in this window.;)"
            R"(200|$V"channel",$R"installed"}|P|offer|2026.12.1;)"
            R"(200|$V"channel",$R"installed from the channel"}|P|offer|2026.12.1;)"
            R"(200|$V"bundled",$R"installed"}|P|offer|;)"
            R"(200|{"client_version":"2026.12.2","client_source":"channel",$R"skipped"}|P|)"
            R"(offer|2026.12.2;200|$V"channel",$R"up to date"}|B|offer|2026.12.1;)"
            R"(200|$V"channel",$R"up to date","client_installed_at":"2026-12-05T11:44:13Z"}|P|)"
            R"($N, which arrived Dec 5, 2026. N.;)"
            R"(200|$V"channel",$R"up to date","client_installed_at":null}|P|$N. N.;)"
            R"~(200|$V"channel",$R"up to date (checked)","client_installed_at":"2026-12-05"}|P|)~"
            R"($N. N.;200|$V"bundled",$R"up to date","last_error":"offline."}|P|$F: offline$P;)"
            R"(200|$V"Channel",$R"up to date"}|P|$F$P;)"
            R"(200|$V"channel",$R"Up to date"}|P|$F. You are still on 2026.12.1. N.;)"
            R"(200|$V"channel",$R"skipped: off"}|P|Tarnwick Is Up to Date|Interface updates )"
            R"(are switched off on this Mac, so it keeps the interface it has. N.;)"
            R"(200|$V"channel",$R"failed","last_error":" . Disk full.. "}|P|)"
            R"($F: Disk full. You are still on 2026.12.1. N.;)"
            R"(200|$V"channel",$R"failed","last_error":". . ."}|P|)"
            R"($F. You are still on 2026.12.1. N.;200|{}|P|$F$P)")) {
    auto cell = cells(expand(row, marks));
    auto check = cell[1] == "-" ? std::nullopt : decodeInterfaceCheck(cell[1]);
    auto outcome =
        interfaceOutcome(cell[0] == "-" ? std::nullopt : std::optional(std::stoi(cell[0])), check,
                         cell[2] == "P" ? LoadedInterface{"2026.12.1", "channel", "t"}
                                        : LoadedInterface{"", "", "t"},
                         "N.");
    const auto* offer = std::get_if<InterfaceReloadOffer>(&outcome);
    const auto* message = std::get_if<InterfaceMessage>(&outcome);
    EXPECT_EQ(offer ? "offer|" + offer->version : message->title + "|" + message->message,
              cell[3] + "|" + cell[4])
        << row;
  }
  EXPECT_EQ(
      decodeInterfaceCheck(R"({"client_version":"v","client_source":"s","client_installed_at":"i",)"
                           R"("last_result":"r","last_error":"e","x":5})"),
      (InterfaceCheck{"v", "s", "i", "r", "e"}));
  for (const std::string& text :
       {R"({"last_error":{"m":"x"}})"s, R"({"last_result":true})"s, "\"up to date\""s, "{"s,
        "{}" + std::string(maximumInterfaceCheckSize, ' ')}) {
    EXPECT_EQ(decodeInterfaceCheck(text), std::nullopt) << text.substr(0, 30);
  }
}

class InterfaceReport : public Shell {
 protected:
  InterfaceReport() { launch(); }
  void scrape(const std::optional<std::string>& result) { page().scripts.back().second(result); }
  void report(const std::string& answer, int status = 200) {
    delegate->reportInterface("N.");
    scrape(R"({"version":"2026.12.1","source":"channel","csrf":"tok"})");
    platform.http.respondNext(FakeHttpClient::status(status, {}, answer), checkURL);
    platform.mainQueue.runUntilIdle();
  }
  const std::string checkURL = "http://127.0.0.1:8766/api/client-check";
};

TEST_F(InterfaceReport, AsksTheConnectorWithThePagesTokenAndEndsInOneSheetOrAReloadOffer) {
  for (const auto& scraped :
       {std::optional<std::string>(), std::optional<std::string>("not json"),
        std::optional<std::string>(R"({"version":"1","source":"s","csrf":""})")}) {
    delegate->reportInterface("N.");
    scrape(scraped);
    EXPECT_EQ(sheet(),
              "Tarnwick|N. The interface could not be checked because it has not finished loading; "
              "try again in a moment.|informational|OK");
  }
  EXPECT_EQ(platform.http.count(), 1U) << "without the page's token nothing is asked";
  report(R"({"client_version":"2026.12.1","client_source":"channel","last_result":"up to date"})");
  const auto& request = platform.http.request(1);
  EXPECT_EQ(std::tie(request.method, request.url, request.headers, request.body, request.timeout,
                     request.cachePolicy),
            std::make_tuple("POST", checkURL,
                            platform::HeaderList{{"Content-Type", "application/json"},
                                                 {"X-Tarnwick-CSRF", "tok"}},
                            "{}", Seconds(60), platform::CachePolicy::protocolDefault));
  EXPECT_EQ(
      sheet(),
      "Tarnwick Is Up to Date|You are on the newest interface, 2026.12.1. N.|informational|OK");
  report("{}", 500);
  EXPECT_EQ(sheet(),
            "Tarnwick|N. The interface update service could not be reached just now, so you are "
            "still on interface 2026.12.1.|informational|OK");
  for (int button : {1, 0}) {
    report(R"({"client_version":"2026.12.3","client_source":"channel","last_result":"installed"})");
    EXPECT_EQ(sheet(),
              "A Newer Interface Is Ready|Interface 2026.12.3 has arrived. Reload now to start "
              "using it. N.|informational|Reload Now|Later");
    window().sheets.back().completion(button);
    EXPECT_EQ(page().reloadsFromOrigin, 1 - button);
  }
  report(R"({"client_source":"bundled","last_result":"installed"})");
  EXPECT_EQ(window().sheets.back().alert.informativeText,
            "A newer interface has arrived. Reload now to start using it. N.");
  delegate->reportInterface("N.");
  std::weak_ptr<app::TarnwickAppDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired()) << "the scrape holds it weakly";
  const auto asked = platform.http.count();
  scrape(R"({"version":"1","source":"s","csrf":"tok"})");
  EXPECT_EQ(platform.http.count(), asked);
}

}  // namespace
}  // namespace tarnwick::testing_support
