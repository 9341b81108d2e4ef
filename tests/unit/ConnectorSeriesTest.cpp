#include <gtest/gtest.h>
#include <unistd.h>

#include "DelegateAccess.h"
#include "FakePlatform.h"
#include "TemporaryTree.h"
#include "app/StatusPage.h"

namespace tarnwick::app {
namespace {

namespace fs = std::filesystem;
using fakes::FakeCommandRunner;
using fakes::FakeHttpClient;
using fakes::FakePlatform;
using platform::CachePolicy;
using platform::HttpResponse;
using platform::Seconds;
using Call = FakeCommandRunner::Call;
using Kind = FakeCommandRunner::Call::Kind;

const std::string missingPage =
    statusPageHTML("The Tarnwick connector is missing. Reinstall Tarnwick and try again.");
const std::string limitPage = statusPageHTML(
    "Tarnwick could not connect. Choose Tarnwick \u2192 Reload Tarnwick to try again.");
const std::string loginItemRelative =
    "Tarnwick.app/Contents/Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/"
    "Tarnwick Connector";
const std::string fallbackRelative = "data/Tarnwick/Tarnwick Connector.app/Contents/MacOS/Tarnwick";
constexpr auto executable = fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read;
constexpr auto notExecutable = fs::perms::owner_read | fs::perms::owner_write;

HttpResponse server(const std::string& value) {
  return FakeHttpClient::status(200, {{"Server", value}});
}
HttpResponse fromAccount(HttpResponse response, std::optional<std::uint32_t> account) {
  response.peerAccount = account;
  return response;
}
HttpResponse refused() {
  return FakeHttpClient::transportError("Could not connect to the server.");
}

Call bootout() {
  return {Kind::run,
          "/bin/launchctl",
          {"bootout", "gui/" + std::to_string(::getuid()) + "/com.tarnwick.desktop"}};
}
Call listenerQuery() {
  return {Kind::capture,
          "/usr/sbin/lsof",
          {"-nP", "-tiTCP:8766", "-sTCP:LISTEN", "-a", "-u", std::to_string(::getuid())}};
}
Call terminate(const std::string& id) {
  return {Kind::run, "/bin/kill", {"-TERM", id}};
}

class ConnectorSeries : public testing::Test {
 protected:
  ConnectorSeries() {
    platform.bundle.info["CFBundleShortVersionString"] = std::string("2.0.1");
    platform.userFolders.homeFolder = tree.root() / "home";
    platform.userFolders.supportFolder = tree.root() / "data";
    delegate = platform.makeDelegate();
  }

  // Launches, which shows the connecting page and sends the first health request.
  void launch() { delegate->applicationDidFinishLaunching(); }

  // Answers the oldest open health request and runs what its hand-over queued.
  void answer(const HttpResponse& response) {
    platform.http.respondNext(response);
    platform.mainQueue.runUntilIdle();
  }

  // Answers every health request with `response` until the series stops asking; the number of
  // checks it made.
  std::size_t answerAll(const HttpResponse& response) {
    std::size_t checks = 0;
    for (int guard = 0; guard < 1000; ++guard) {
      if (platform.http.unanswered() > 0) {
        answer(response);
        ++checks;
      } else if (platform.mainQueue.pending() > 0) {
        platform.mainQueue.advance(Seconds(0.5));
      } else {
        break;
      }
    }
    return checks;
  }

  fakes::FakeWebView& webView() { return *platform.application.webView; }

  std::size_t count(const Call& call) const {
    return static_cast<std::size_t>(
        std::count(platform.commands.calls.begin(), platform.commands.calls.end(), call));
  }

  testing_support::TemporaryTree tree;
  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate;
};

TEST_F(ConnectorSeries, HealthyConnectorLoadsTheInterfaceAfterOneCheckAndRunsNoTools) {
  launch();
  ASSERT_EQ(platform.http.count(), 1U);
  auto request = platform.http.request(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.url, "http://127.0.0.1:8766/");
  EXPECT_EQ(request.timeout, Seconds(2.0));
  EXPECT_EQ(request.cachePolicy, CachePolicy::reloadIgnoringLocalCache);
  EXPECT_TRUE(request.headers.empty());
  EXPECT_TRUE(request.body.empty());

  platform.http.respondNext(server("TarnwickDesktop/2.0.1"));
  EXPECT_EQ(webView().requestedURLs().size(), 0U) << "the load belongs on the main queue";
  platform.mainQueue.runUntilIdle();

  ASSERT_EQ(webView().requestedURLs(), std::vector<std::string>{"http://127.0.0.1:8766/"});
  EXPECT_EQ(webView().loads.back().timeout, Seconds(10.0));
  EXPECT_EQ(webView().loads.back().cachePolicy, CachePolicy::reloadIgnoringLocalCache);
  platform.mainQueue.advance(Seconds(60));
  EXPECT_EQ(platform.http.count(), 1U);
  EXPECT_TRUE(platform.commands.calls.empty());
  EXPECT_TRUE(platform.loginItems.calls.empty());
  EXPECT_EQ(delegate->attempts(), 0);
}

TEST_F(ConnectorSeries, HealthyConnectorLoadsTheTargetWhenOneIsSetAndKeepsIt) {
  const std::string pairing = "http://127.0.0.1:8766/support?server=a&code=b";
  TarnwickAppDelegateTestAccess::setTargetURL(*delegate, pairing);
  launch();
  answer(server("TarnwickDesktop/2.0.1"));
  EXPECT_EQ(webView().requestedURLs(), std::vector<std::string>{pairing});
  EXPECT_EQ(webView().loads.back().timeout, Seconds(10.0));
  EXPECT_EQ(delegate->targetURL(), pairing);
}

TEST_F(ConnectorSeries, EveryCheckRewritesTheStaleFlagOnTheLoaderSide) {
  std::vector<bool> results;
  auto record = [&](bool healthy) { results.push_back(healthy); };
  struct Step {
    HttpResponse response;
    bool healthy;
    bool stale;
  };
  std::vector<Step> steps = {{server("TarnwickDesktop/1.9.0"), false, true},
                             {refused(), false, false},
                             {server("TarnwickDesktop/1.9.0"), false, true},
                             {server("TarnwickDesktop/2.0.1"), true, false},
                             {server("TarnwickDesktop/1.9.0"), false, true},
                             {server("nginx"), false, false}};
  for (const auto& step : steps) {
    delegate->checkConnector(record);
    platform.http.respondNext(step.response);
    // Written in the completion itself, before anything reaches the main queue.
    EXPECT_EQ(delegate->replaceStaleConnector(), step.stale);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.back(), step.healthy);
  }
  EXPECT_EQ(platform.mainQueue.pending(), 0U);
}

TEST_F(ConnectorSeries, StaleConnectorIsSignalledOnTheNextStartThenPausedFor) {
  platform.commands.captureOutputs["/usr/sbin/lsof"] = "4242\n1\n0\n -5\n 77 \nabc\n\n";
  launch();
  answer(server("TarnwickDesktop/1.9.0"));

  EXPECT_EQ(platform.commands.calls,
            (std::vector<Call>{bootout(), listenerQuery(), terminate("4242"), terminate("77")}));
  EXPECT_EQ(platform.sleeper.pauses, std::vector<double>{0.25});
  EXPECT_FALSE(delegate->replaceStaleConnector()) << "the start consumes the flag";

  // The replacement answers: the interface loads and nothing more is stopped.
  platform.mainQueue.advance(Seconds(0.5));
  answer(server("TarnwickDesktop/2.0.1"));
  EXPECT_EQ(webView().requestedURLs(), std::vector<std::string>{"http://127.0.0.1:8766/"});
  EXPECT_EQ(count(listenerQuery()), 1U);
  EXPECT_EQ(platform.sleeper.pauses.size(), 1U);
}

TEST_F(ConnectorSeries, ARefusedCheckBetweenClearsTheFlagBeforeTheStart) {
  launch();
  delegate->reload();  // a second series, so two checks are open at once
  platform.http.respond(0, server("TarnwickDesktop/1.9.0"));
  EXPECT_TRUE(delegate->replaceStaleConnector());
  platform.http.respond(1, refused());
  EXPECT_FALSE(delegate->replaceStaleConnector());
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(count(listenerQuery()), 0U);
  EXPECT_TRUE(platform.sleeper.pauses.empty());
}

struct UnhealthyCase {
  const char* name;
  HttpResponse response;
};

class UnhealthyAnswers : public ConnectorSeries,
                         public testing::WithParamInterface<UnhealthyCase> {};

TEST_P(UnhealthyAnswers, RunTheWholeBudgetRestartingEveryTimeAndNeverSignalAnyone) {
  launch();
  EXPECT_EQ(answerAll(GetParam().response), 31U);
  EXPECT_EQ(platform.http.count(), 31U);
  EXPECT_EQ(count(bootout()), 31U) << "every failed check starts the Connector again";
  EXPECT_EQ(count(listenerQuery()), 0U);
  for (const auto& call : platform.commands.calls) {
    EXPECT_NE(call.path, "/bin/kill");
  }
  EXPECT_EQ(webView().lastHTML(), limitPage);
  EXPECT_EQ(delegate->attempts(), 31);
  EXPECT_TRUE(webView().requestedURLs().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UnhealthyAnswers,
    testing::Values(
        UnhealthyCase{"refused", refused()},
        UnhealthyCase{"timedOut", FakeHttpClient::transportError("The request timed out.")},
        UnhealthyCase{"noServerHeader", FakeHttpClient::status(200)},
        UnhealthyCase{"otherServer", server("SimpleHTTP/0.6 Python/3.11")},
        UnhealthyCase{"notOK", FakeHttpClient::status(500, {{"Server", "TarnwickDesktop/2.0.1"}})},
        // Another account's listener is a stranger, whatever it answers: never loaded, never
        // taken for a stale Connector, so never signalled.
        UnhealthyCase{"rightVersionOfAnotherAccount",
                      fromAccount(server("TarnwickDesktop/2.0.1"), ::getuid() + 1)},
        UnhealthyCase{"otherVersionOfAnotherAccount",
                      fromAccount(server("TarnwickDesktop/1.9.0"), ::getuid() + 1)},
        UnhealthyCase{"ownerUnknown", fromAccount(server("TarnwickDesktop/2.0.1"), std::nullopt)}),
    [](const auto& each) { return std::string(each.param.name); });

TEST_F(ConnectorSeries, WithNoConnectorTheMissingPageFollowsEveryFailedCheckUntilTheLimit) {
  launch();
  for (int check = 1; check <= 31; ++check) {
    ASSERT_EQ(platform.http.unanswered(), 1U) << "check " << check;
    answer(refused());
    EXPECT_EQ(delegate->attempts(), check);
    if (check <= 30) {
      EXPECT_EQ(webView().lastHTML(), missingPage) << "check " << check;
      // Polling goes on regardless, half a second apart.
      platform.mainQueue.advance(Seconds(0.49));
      EXPECT_EQ(platform.http.unanswered(), 0U);
      platform.mainQueue.advance(Seconds(0.01));
    }
  }
  EXPECT_EQ(webView().lastHTML(), limitPage);
  platform.mainQueue.advance(Seconds(60));
  EXPECT_EQ(platform.http.count(), 31U);
  EXPECT_TRUE(platform.loginItems.calls.empty());
}

TEST_F(ConnectorSeries, ASeriesBegunByPollingMakesAtMostThirtyChecks) {
  launch();
  answer(server("TarnwickDesktop/2.0.1"));
  delegate->pollConnector();
  EXPECT_EQ(delegate->attempts(), 1);
  EXPECT_EQ(answerAll(refused()), 30U);
  EXPECT_EQ(webView().lastHTML(), limitPage);
}

TEST_F(ConnectorSeries, ReloadAfterTheLimitGivesAFreshBudget) {
  launch();
  ASSERT_EQ(answerAll(refused()), 31U);
  auto loads = webView().loads.size();
  delegate->reload();
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_EQ(webView().loads.size(), loads) << "reload leaves the page until the check decides";
  EXPECT_EQ(answerAll(refused()), 31U);
  EXPECT_EQ(webView().lastHTML(), limitPage);
}

TEST_F(ConnectorSeries, OverlappingSeriesShareOneBudget) {
  launch();
  delegate->reload();
  ASSERT_EQ(platform.http.unanswered(), 2U);
  // Two chains, each failed check counting against the same attempts: 32 checks, not 62.
  EXPECT_EQ(answerAll(refused()), 32U);
  EXPECT_EQ(delegate->attempts(), 32);
  EXPECT_EQ(webView().lastHTML(), limitPage);
}

TEST_F(ConnectorSeries, AnAnswerAfterTheDelegateIsGoneDoesNothing) {
  launch();
  std::optional<bool> reported;
  delegate->checkConnector([&](bool healthy) { reported = healthy; });
  std::weak_ptr<TarnwickAppDelegate> weak = delegate;
  delegate.reset();
  ASSERT_TRUE(weak.expired()) << "an open request must not keep the delegate alive";

  platform.http.respond(0, server("TarnwickDesktop/2.0.1"));
  platform.http.respond(1, server("TarnwickDesktop/2.0.1"));
  EXPECT_EQ(reported, false);
  platform.mainQueue.advance(Seconds(10));
  EXPECT_TRUE(webView().requestedURLs().empty());
  EXPECT_TRUE(platform.commands.calls.empty());
}

TEST_F(ConnectorSeries, APollScheduledBeforeTheDelegateWentDoesNothing) {
  launch();
  answer(refused());
  ASSERT_EQ(delegate->attempts(), 1);
  delegate.reset();
  platform.mainQueue.advance(Seconds(1));
  EXPECT_EQ(platform.http.count(), 1U);
}

TEST_F(ConnectorSeries, StartRemovesOnlyTheLegacyAgentFileFromHome) {
  auto agents = tree.root() / "home/Library/LaunchAgents";
  auto legacy = tree.file("home/Library/LaunchAgents/com.tarnwick.desktop.plist", notExecutable);
  auto other = tree.file("home/Library/LaunchAgents/com.example.other.plist", notExecutable);
  delegate->startConnector();
  EXPECT_FALSE(fs::exists(legacy));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_EQ(platform.commands.calls.front(), bootout());

  // Already gone: nothing to report, the start goes on.
  delegate->startConnector();
  EXPECT_EQ(count(bootout()), 2U);
  EXPECT_TRUE(fs::is_directory(agents));
}

enum class Entry { absent, runnable, plainFile, folder, linkToRunnable };

struct ChoiceCase {
  const char* name;
  bool bundle;
  Entry loginItem;
  Entry fallback;
  enum class Expect { loginItem, fallback, missing } expected;
};

class ConnectorChoice : public ConnectorSeries, public testing::WithParamInterface<ChoiceCase> {
 protected:
  void place(const std::string& relative, Entry entry) {
    auto path = tree.root() / relative;
    switch (entry) {
      case Entry::absent:
        break;
      case Entry::runnable:
        tree.file(relative, executable);
        break;
      case Entry::plainFile:
        tree.file(relative, notExecutable);
        break;
      case Entry::folder:
        fs::create_directories(path);
        fs::permissions(path, fs::perms::owner_all);
        break;
      case Entry::linkToRunnable: {
        auto target = tree.file("elsewhere/" + path.filename().string(), executable);
        fs::create_directories(path.parent_path());
        fs::create_symlink(target, path);
        break;
      }
    }
  }
};

TEST_P(ConnectorChoice, StartsTheLoginItemOrTheFallbackOrReportsItMissing) {
  const auto& param = GetParam();
  if (param.bundle) {
    platform.bundle.path = tree.root() / "Tarnwick.app";
  }
  place(loginItemRelative, param.loginItem);
  place(fallbackRelative, param.fallback);
  launch();
  answer(refused());

  const auto& calls = platform.commands.calls;
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), bootout());
  const std::vector<std::pair<std::string, bool>> restart = {{"com.ostrel.tarnwick.macos", false},
                                                             {"com.ostrel.tarnwick.macos", true}};
  const Call fallbackStart{
      Kind::detached, (tree.root() / fallbackRelative).string(), {"run", "--no-browser"}};
  switch (param.expected) {
    case ChoiceCase::Expect::loginItem:
      EXPECT_EQ(platform.loginItems.calls, restart);
      EXPECT_EQ(calls, std::vector<Call>{bootout()});
      EXPECT_NE(webView().lastHTML(), missingPage);
      break;
    case ChoiceCase::Expect::fallback:
      EXPECT_TRUE(platform.loginItems.calls.empty());
      EXPECT_EQ(calls, (std::vector<Call>{bootout(), fallbackStart}));
      EXPECT_NE(webView().lastHTML(), missingPage);
      break;
    case ChoiceCase::Expect::missing:
      EXPECT_TRUE(platform.loginItems.calls.empty());
      EXPECT_EQ(calls, std::vector<Call>{bootout()});
      EXPECT_EQ(webView().lastHTML(), missingPage);
      break;
  }
  // Whatever was started, or not, polling goes on.
  platform.mainQueue.advance(Seconds(0.5));
  EXPECT_EQ(platform.http.unanswered(), 1U);
}

using Expect = ChoiceCase::Expect;
INSTANTIATE_TEST_SUITE_P(
    Places, ConnectorChoice,
    testing::Values(
        ChoiceCase{"loginItemWins", true, Entry::runnable, Entry::runnable, Expect::loginItem},
        ChoiceCase{"loginItemOnly", true, Entry::runnable, Entry::absent, Expect::loginItem},
        ChoiceCase{"loginItemThroughALink", true, Entry::linkToRunnable, Entry::absent,
                   Expect::loginItem},
        ChoiceCase{"loginItemNotExecutable", true, Entry::plainFile, Entry::runnable,
                   Expect::fallback},
        ChoiceCase{"loginItemIsAFolder", true, Entry::folder, Entry::runnable, Expect::fallback},
        ChoiceCase{"noBundle", false, Entry::runnable, Entry::runnable, Expect::fallback},
        ChoiceCase{"fallbackOnly", true, Entry::absent, Entry::runnable, Expect::fallback},
        ChoiceCase{"neither", true, Entry::absent, Entry::absent, Expect::missing},
        ChoiceCase{"fallbackNotExecutable", true, Entry::absent, Entry::plainFile, Expect::missing},
        ChoiceCase{"fallbackIsAFolder", false, Entry::absent, Entry::folder, Expect::missing}),
    [](const auto& each) { return std::string(each.param.name); });

TEST_F(ConnectorSeries, WithoutADataFolderOnlyTheLoginItemCanStart) {
  platform.userFolders.supportFolder = std::nullopt;
  delegate->applicationDidFinishLaunching();
  answer(refused());
  EXPECT_EQ(webView().lastHTML(), missingPage);
  EXPECT_EQ(platform.commands.calls, std::vector<Call>{bootout()});
}

// A copy this shell started and which still runs is given ten seconds to answer before it is
// started again, whichever way it was started.
class SlowStart : public ConnectorSeries, public testing::WithParamInterface<bool> {
 protected:
  SlowStart() {
    if (loginItem()) {
      platform.bundle.path = tree.root() / "Tarnwick.app";
      tree.file(loginItemRelative, executable);
      platform.loginItems.running.insert("com.ostrel.tarnwick.macos");
    } else {
      tree.file(fallbackRelative, executable);
      *platform.commands.detachedRunning = true;
    }
  }
  bool loginItem() const { return GetParam(); }
  std::size_t starts() const {
    return loginItem() ? platform.loginItems.calls.size() / 2
                       : static_cast<std::size_t>(std::count_if(
                             platform.commands.calls.begin(), platform.commands.calls.end(),
                             [](const Call& call) { return call.kind == Kind::detached; }));
  }
  void copyEnds() {
    platform.loginItems.running.clear();
    *platform.commands.detachedRunning = false;
  }
};

TEST_P(SlowStart, AConnectorThatListensAfterOneAndAHalfSecondsIsReachedWithOneStart) {
  launch();
  for (double at = 0; at < 1.5; at += 0.5) {
    answer(refused());
    platform.mainQueue.advance(Seconds(0.5));
  }
  answer(server("TarnwickDesktop/2.0.1"));
  EXPECT_EQ(starts(), 1U);
  EXPECT_EQ(count(bootout()), 1U);
  EXPECT_EQ(platform.http.count(), 4U);
  EXPECT_EQ(webView().requestedURLs(), std::vector<std::string>{"http://127.0.0.1:8766/"});
}

TEST_P(SlowStart, ACopyThatNeverAnswersIsRestartedAfterTheGracePeriodAndTheSeriesStillEnds) {
  launch();
  std::vector<double> startTimes;
  for (std::size_t seen = 0; platform.http.unanswered() > 0;
       platform.mainQueue.advance(Seconds(0.5))) {
    answer(refused());
    if (starts() > seen) {
      seen = starts();
      startTimes.push_back(platform.mainQueue.now().count());
    }
  }
  EXPECT_EQ(startTimes, (std::vector<double>{0.0, 10.0}));
  EXPECT_EQ(platform.http.count(), 31U);
  EXPECT_EQ(webView().lastHTML(), limitPage);
}

TEST_P(SlowStart, ACopyThatEndedOrAnotherVersionAnsweringIsNotWaitedFor) {
  launch();
  answer(refused());
  platform.mainQueue.advance(Seconds(0.5));
  answer(server("TarnwickDesktop/1.9.0"));
  EXPECT_EQ(starts(), 2U) << "another version on the port is replaced at once";
  EXPECT_EQ(count(listenerQuery()), 1U);
  platform.mainQueue.advance(Seconds(0.5));
  copyEnds();
  answer(refused());
  EXPECT_EQ(starts(), 3U) << "a copy that ended is started again at once";
}

INSTANTIATE_TEST_SUITE_P(Ways, SlowStart, testing::Bool(), [](const auto& each) {
  return std::string(each.param ? "loginItem" : "fallback");
});

}  // namespace
}  // namespace tarnwick::app
