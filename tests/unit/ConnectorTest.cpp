// Judging the Connector's answer, the connection series, the Connector's start and its clean-up.
#include "Shell.h"
#include "connector/ConnectorHealth.h"
#include "connector/PosixCommandRunner.h"

namespace tarnwick::testing_support {
namespace {

using namespace std::string_literals;

HttpResponse from(std::optional<std::uint32_t> account, HttpResponse response) {
  response.peerAccount = account;
  return response;
}

TEST(ConnectorHealth, OnlyThisAccountsConnectorNamingTheSignatureIn200IsHealthy) {
  // status | header name | header value | socket owner (me, other, unknown) | verdict
  for (const auto& row :
       rows("200|Server|TarnwickDesktop/2.0.1|me|healthy;200|Server|TarnwickDesktop/"
            "2.0.10|me|healthy;"
            "200|sErVeR|uvicorn TarnwickDesktop/2.0.1 (linux)|me|healthy;"
            "200|Server|TarnwickDesktop/2.0.2|me|stale;200|Server|TarnwickDesktop/|me|stale;"
            "200|Server|tarnwickdesktop/2.0.1|me|neither;200|Server|nginx/1.22|me|neither;"
            "200|X-Server|TarnwickDesktop/2.0.1|me|neither;204|Server|TarnwickDesktop/"
            "2.0.1|me|neither;"
            "200|Server|TarnwickDesktop/2.0.1|other|neither;"
            "200|Server|TarnwickDesktop/2.0.1|unknown|neither;"
            "0|Server|TarnwickDesktop/2.0.1|me|neither")) {
    auto cell = cells(row);
    auto response = FakeHttpClient::status(std::stoi(cell[0]), {{cell[1], cell[2]}});
    response.peerAccount = cell[3] == "me"      ? std::optional(::getuid())
                           : cell[3] == "other" ? std::optional(::getuid() + 1)
                                                : std::nullopt;
    if (cell[0] == "0") {  // the transfer broke after the status line
      response.transportError = "The network connection was lost.";
    }
    auto verdict = connector::judgeHealth(response, "TarnwickDesktop/2.0.1", ::getuid());
    EXPECT_EQ(verdict.healthy ? "healthy" : verdict.stale ? "stale" : "neither", cell[4]) << row;
  }
  EXPECT_EQ(connector::judgeHealth(refused, "TarnwickDesktop/2.0.1", ::getuid()),
            connector::HealthVerdict{});
}

TEST(ConnectorHealth, ListedProcessIdsAreWholeNumbersAboveOneOnePerLineInOrder) {
  for (const auto& row :
       rows("|;4242|4242;900\n17\n|900 17;\n\n31\n\n58\n\n|31 58;"
            "  31 \n\t58\t\n \t 77  \t|31 58 77;31\r\n58\r\n|31 58;"
            "lsof: WARNING\n31\nabc\n31abc\n|31;1\n0\n-5\n+44\n|44;"
            "12 13\n0x1F\n31.0\n|;2147483648\n21474836480\n2147483647\n|2147483647")) {
    EXPECT_EQ(joined(connector::listenerProcessIds(cells(row)[0])), cells(row)[1]) << row;
  }
}

TEST(CommandRunner, CapturedOutputMustBeWellFormedUtf8) {
  for (auto text : {""s, "a\0b"s, "\xc3\xa9\xe2\x80\xa6\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"s}) {
    EXPECT_TRUE(connector::isValidUTF8(text)) << text;
  }
  for (auto text : {"\x80"s, "\xff"s, "\xf8\x88\x80\x80\x80"s, "\xc0\xaf"s, "\xe0\x80\xaf"s,
                    "\xf0\x80\x80\xaf"s, "\xed\xa0\x80"s, "\xf4\x90\x80\x80"s, "ok\xe2\x80"s,
                    "\xe2\x28\xa1"s, "caf\xe9"s}) {
    EXPECT_FALSE(connector::isValidUTF8(text)) << text;
  }
}

const std::string bootout =
    "run /bin/launchctl bootout gui/" + std::to_string(::getuid()) + "/com.tarnwick.desktop";
const std::string lister =
    "capture /usr/sbin/lsof -nP -tiTCP:8766 -sTCP:LISTEN -a -u " + std::to_string(::getuid());
const std::string missingPage =
    app::statusPageHTML("The Tarnwick connector is missing. Reinstall Tarnwick and try again.");
const std::string limitPage = app::statusPageHTML(
    "Tarnwick could not connect. Choose Tarnwick \u2192 Reload Tarnwick to try again.");
const fs::path loginItem =
    "Tarnwick.app/Contents/Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/Tarnwick "
    "Connector";
const fs::path fallback = "data/Tarnwick/Tarnwick Connector.app/Contents/MacOS/Tarnwick";

using Series = Shell;

TEST_F(Series, AHealthyConnectorLoadsTheInterfaceAfterOneCheckAndNothingIsStarted) {
  launch();
  const auto& check = platform.http.request(0);
  EXPECT_EQ(std::tie(check.method, check.url, check.timeout, check.cachePolicy, check.body),
            std::make_tuple("GET", "http://127.0.0.1:8766/", Seconds(2.0),
                            platform::CachePolicy::reloadIgnoringLocalCache, ""));
  EXPECT_TRUE(check.headers.empty());
  platform.http.respondNext(healthy);
  EXPECT_TRUE(page().requested.empty()) << "the load belongs on the main queue";
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(page().requested, std::vector<std::string>{"http://127.0.0.1:8766/"});
  EXPECT_EQ(page().lastLoad,
            std::make_pair(Seconds(10.0), platform::CachePolicy::reloadIgnoringLocalCache));
  platform.mainQueue.advance(Seconds(60));
  EXPECT_EQ(healthChecks(), 1);
  EXPECT_TRUE(platform.commands.calls.empty() && platform.loginItems.calls.empty());
  // Answers after the delegate went change nothing.
  std::optional<bool> reported;
  delegate->checkConnector([&](bool result) { reported = result; });
  delegate->reload();
  delegate.reset();
  platform.http.respondNext(healthy);
  platform.http.respondNext(healthy);
  platform.mainQueue.advance(Seconds(10));
  EXPECT_EQ(reported, false);
  EXPECT_EQ(page().requested.size(), 1U);
}

TEST_F(Series, EveryCheckRewritesTheStaleFlagBeforeItsHandOverAndTheNextStartStopsTheStaleOne) {
  for (const auto& [response, verdict] : std::vector<std::pair<HttpResponse, const char*>>{
           {server("TarnwickDesktop/1.9.0"), "unhealthy stale"},
           {refused, "unhealthy fresh"},
           {server("TarnwickDesktop/1.9.0"), "unhealthy stale"},
           {healthy, "healthy fresh"}}) {
    std::string reported;
    delegate->checkConnector([&](bool result) { reported = result ? "healthy " : "unhealthy "; });
    platform.http.respondNext(response);
    EXPECT_EQ(reported + (delegate->replaceStaleConnector() ? "stale" : "fresh"), verdict);
  }
  platform.commands.captured = "4242\n1\n0\n -5\n 77 \nabc\n\n";
  launch();
  answer(server("TarnwickDesktop/1.9.0"));
  EXPECT_EQ(platform.commands.calls,
            (std::vector<std::string>{bootout, lister, "run /bin/kill -TERM 4242",
                                      "run /bin/kill -TERM 77"}));
  EXPECT_EQ(platform.sleeper.pauses, std::vector<double>{0.25});
  EXPECT_FALSE(delegate->replaceStaleConnector()) << "the start consumes the flag";
  platform.mainQueue.advance(Seconds(0.5));
  answer(healthy);
  EXPECT_EQ(page().requested, std::vector<std::string>{"http://127.0.0.1:8766/"});
  // A refused check between a stale one and the start clears the flag.
  delegate->reload();
  delegate->reload();
  platform.http.respondNext(server("TarnwickDesktop/1.9.0"));
  platform.http.respondNext(refused);
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(std::ranges::count(platform.commands.calls, lister), 1);
}

TEST_F(Series, AnyUnhealthyAnswerRunsTheWholeBudgetRestartingEachTimeAndSignalsNobody) {
  launch();
  answer(healthy);
  for (const auto& response :
       {refused, FakeHttpClient::status(200), server("SimpleHTTP/0.6"),
        FakeHttpClient::status(500, {{"Server", "TarnwickDesktop/2.0.1"}}),
        from(::getuid() + 1, healthy), from(::getuid() + 1, server("TarnwickDesktop/1.9.0")),
        from(std::nullopt, healthy)}) {
    platform.commands.calls.clear();
    delegate->reload();
    EXPECT_EQ(answerAll(response), 31);
    EXPECT_EQ(platform.commands.calls, std::vector<std::string>(31, bootout)) << "and nothing else";
    EXPECT_EQ(status(), limitPage);
    EXPECT_EQ(delegate->attempts(), 31);
  }
  EXPECT_EQ(page().requested.size(), 1U) << "only the first, healthy check's";
}

TEST_F(Series, TheLoginItemIsStartedElseTheFallbackElseTheConnectorIsMissing) {
  auto place = [&](const fs::path& relative, char entry) {
    if (entry == 'x' || entry == 'f') {  // executable, plain file
      tree.file(relative, entry == 'x' ? fs::perms::owner_all : fs::perms::owner_read);
    } else if (entry == 'd') {
      fs::create_directories(tree.root / relative);
    }
  };
  // bundle? login item, fallback (x executable, f plain file, d folder, - absent) | start
  for (const auto& row : rows("bxx|login item;bfx|fallback;bdx|fallback; xx|fallback;b--|missing;"
                              "b-f|missing; -d|missing")) {
    fs::remove_all(tree.root / "Tarnwick.app");
    fs::remove_all(tree.root / "data");
    place(loginItem, row[1]);
    place(fallback, row[2]);
    platform.bundle.path = row[0] == 'b' ? std::optional(tree.root / "Tarnwick.app") : std::nullopt;
    platform.commands.calls.clear();
    platform.loginItems.calls.clear();
    auto fresh = platform.makeDelegate();
    fresh->applicationDidFinishLaunching();
    answer(refused);
    std::string started = status() == missingPage ? "missing" : "?";
    if (platform.loginItems.calls == std::vector<std::string>{"disable com.ostrel.tarnwick.macos",
                                                              "enable com.ostrel.tarnwick.macos"}) {
      started = "login item";
    } else if (platform.commands.calls.back() ==
               "detached " + (tree.root / fallback).string() + " run --no-browser") {
      started = "fallback";
    }
    EXPECT_EQ(platform.commands.calls.front() + "|" + started, bootout + "|" + cells(row)[1])
        << row;
    platform.mainQueue.advance(Seconds(0.5));
    EXPECT_EQ(platform.http.unanswered(), 1U) << "polling goes on whatever was started";
    platform.http.requests.clear();
  }
  // Without a data folder only the login item can start; each start removes the legacy agent.
  platform.userFolders.supportFolder.reset();
  auto legacy = tree.file("home/Library/LaunchAgents/com.tarnwick.desktop.plist");
  auto other = tree.file("home/Library/LaunchAgents/com.example.other.plist");
  delegate->startConnector();
  delegate->startConnector();  // already gone: nothing to report
  EXPECT_EQ(platform.commands.calls.back(), bootout);
  EXPECT_TRUE(!fs::exists(legacy) && fs::exists(other));
}

// A copy this shell started, and which still runs, gets ten seconds to answer before it is
// started again, whichever way it was started.
class SlowStart : public Series, public testing::WithParamInterface<bool> {
 protected:
  SlowStart() {
    platform.bundle.path = tree.root / "Tarnwick.app";
    tree.file(GetParam() ? loginItem : fallback, fs::perms::owner_all);
    platform.loginItems.running = *platform.commands.detachedRunning = true;
    launch();
  }
  int starts() const {
    auto detached = std::ranges::count_if(platform.commands.calls,
                                          [](auto& call) { return call.starts_with("detached"); });
    return static_cast<int>(GetParam() ? static_cast<long>(platform.loginItems.calls.size() / 2)
                                       : detached);
  }
};

TEST_P(SlowStart, ACopyThatNeverAnswersIsRestartedAfterTenSecondsAndTheSeriesStillEnds) {
  std::vector<double> startTimes;
  while (platform.http.unanswered() > 0) {
    answer(refused);
    if (starts() > static_cast<int>(startTimes.size())) {
      startTimes.push_back(platform.mainQueue.now().count());
    }
    platform.mainQueue.advance(Seconds(0.5));
  }
  EXPECT_EQ(startTimes, (std::vector<double>{0.0, 10.0}));
  EXPECT_EQ(status(), limitPage);
}

INSTANTIATE_TEST_SUITE_P(Ways, SlowStart, testing::Bool(),
                         [](const auto& way) { return way.param ? "loginItem" : "fallback"; });

}  // namespace
}  // namespace tarnwick::testing_support
