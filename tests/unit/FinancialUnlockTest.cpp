#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "FakePlatform.h"
#include "bridge/UnlockRequest.h"

namespace tarnwick::app {
namespace {

using nlohmann::json;
using platform::FrameInfo;
using platform::SecurityOrigin;

const FrameInfo interfacePage{true, {"http", "127.0.0.1", 8766}};
constexpr const char* unlockName = "tarnwickFinancialUnlock";
constexpr const char* scriptStart =
    "window.dispatchEvent(new CustomEvent('tarnwick-financial-unlock',{detail:";
constexpr const char* scriptEnd = "}));";

std::string bodyWith(const std::string& identifier) {
  return json{{"request_id", identifier}}.dump();
}

// The event's detail, read back from the dispatched script; nothing when the script is not the
// event script.
std::optional<json> detailOf(const std::string& script) {
  std::string_view text = script;
  if (!text.starts_with(scriptStart) || !text.ends_with(scriptEnd)) {
    return std::nullopt;
  }
  text.remove_prefix(std::string_view(scriptStart).size());
  text.remove_suffix(std::string_view(scriptEnd).size());
  auto detail = json::parse(text, nullptr, false);
  if (detail.is_discarded()) {
    return std::nullopt;
  }
  return detail;
}

class FinancialUnlock : public testing::Test {
 protected:
  FinancialUnlock() {
    delegate->applicationDidFinishLaunching();
    platform.mainQueue.runUntilIdle();
    scriptsBefore = webView().scripts.size();
  }

  fakes::FakeWebView& webView() { return *platform.application.webView; }
  std::vector<json> events() {
    std::vector<json> found;
    for (std::size_t index = scriptsBefore; index < webView().scripts.size(); ++index) {
      auto detail = detailOf(webView().scripts[index].source);
      EXPECT_TRUE(detail) << webView().scripts[index].source;
      if (detail) {
        found.push_back(*detail);
      }
    }
    return found;
  }
  void post(const std::string& identifier) {
    delegate->webViewDidReceiveScriptMessage(unlockName, bodyWith(identifier), interfacePage);
  }

  fakes::FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate = platform.makeDelegate();
  std::size_t scriptsBefore = 0;
};

struct MessageCase {
  const char* what;
  std::string body;
  bool accepted;
  FrameInfo frame = interfacePage;
  std::string name = unlockName;
};

class Acceptance : public FinancialUnlock, public testing::WithParamInterface<MessageCase> {};

TEST_P(Acceptance, OnlyTheInterfacesMainFrameWithAnIdentifierIsAsked) {
  const auto& message = GetParam();
  delegate->webViewDidReceiveScriptMessage(message.name, message.body, message.frame);
  platform.mainQueue.runUntilIdle();
  if (message.accepted) {
    EXPECT_EQ(platform.deviceOwnerAuth.contexts, 1);
    ASSERT_EQ(platform.deviceOwnerAuth.evaluations.size(), 1U);
    EXPECT_EQ(platform.deviceOwnerAuth.evaluations[0].cancelTitle, "Cancel");
    EXPECT_EQ(platform.deviceOwnerAuth.evaluations[0].reason,
              "Unlock Tarnwick Business financial data");
  } else {
    EXPECT_EQ(platform.deviceOwnerAuth.contexts, 0) << "no context for a dropped message";
  }
  EXPECT_EQ(webView().scripts.size(), scriptsBefore) << "nothing runs in the page before a reply";
}

const std::string hundred = std::string(96, 'a') + "-0Z9";

INSTANTIATE_TEST_SUITE_P(
    Messages, Acceptance,
    testing::Values(
        MessageCase{"8 characters", bodyWith("abcd-123"), true},
        MessageCase{"100 characters", bodyWith(hundred), true},
        MessageCase{"only hyphens", bodyWith("--------"), true},
        MessageCase{"other members",
                    R"({"amount":[1,{"a":null}],"request_id":"AbCd-1234","x":"y"})", true},
        MessageCase{"7 characters", bodyWith("abc-123"), false},
        MessageCase{"101 characters", bodyWith(hundred + "x"), false},
        MessageCase{"underscore", bodyWith("abcd_1234"), false},
        MessageCase{"dot", bodyWith("abcd.1234"), false},
        MessageCase{"space", bodyWith("abcd 1234"), false},
        MessageCase{"trailing newline", bodyWith("abcd-1234\n"), false},
        MessageCase{"non-ASCII letter", bodyWith("abcd\u00e91234"), false},
        MessageCase{"empty", bodyWith(""), false},
        MessageCase{"a number", R"({"request_id":12345678})", false},
        MessageCase{"null", R"({"request_id":null})", false},
        MessageCase{"absent", R"({"requestId":"abcd-1234"})", false},
        MessageCase{"an array", R"(["abcd-1234"])", false},
        MessageCase{"a string", R"("abcd-1234")", false},
        MessageCase{"invalid JSON", R"({"request_id":"abcd-1234")", false},
        MessageCase{"no body", "", false},
        MessageCase{"deeply nested",
                    R"({"request_id":"abcd-1234","x":)" + std::string(100000, '[') +
                        std::string(100000, ']') + "}",
                    false},
        MessageCase{"megabytes long",
                    R"({"request_id":"abcd-1234","x":")" + std::string(3 << 20, 'x') + "\"}",
                    false},
        MessageCase{"another name", bodyWith("abcd-1234"), false, interfacePage,
                    "tarnwickOtherRequest"},
        MessageCase{
            "a subframe", bodyWith("abcd-1234"), false, {false, {"http", "127.0.0.1", 8766}}},
        MessageCase{"localhost", bodyWith("abcd-1234"), false, {true, {"http", "localhost", 8766}}},
        MessageCase{"https", bodyWith("abcd-1234"), false, {true, {"https", "127.0.0.1", 8766}}},
        MessageCase{
            "another port", bodyWith("abcd-1234"), false, {true, {"http", "127.0.0.1", 8767}}},
        MessageCase{"an untrusted frame", bodyWith("abcd-1234"), false, FrameInfo{}}),
    [](const testing::TestParamInfo<MessageCase>& caseInfo) {
      std::string name;
      for (char c : std::string(caseInfo.param.what)) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

TEST_F(FinancialUnlock, WithoutDeviceOwnerAuthenticationTheRefusalComesAtOnce) {
  platform.deviceOwnerAuth.available = false;
  post("abcd-1234");
  // Still inside the message callback: no hop through the main queue.
  EXPECT_EQ(events(), (std::vector<json>{{{"request_id", "abcd-1234"}, {"ok", false}}}));
  EXPECT_TRUE(platform.deviceOwnerAuth.evaluations.empty());
}

TEST_F(FinancialUnlock, TheReplyFromAnyThreadIsDispatchedOnTheMainQueueWithTheSameIdentifier) {
  for (bool success : {true, false}) {
    post("Req-" + std::to_string(success) + "-42");
    auto reply = platform.deviceOwnerAuth.evaluations.back().reply;
    std::thread([&] { reply(success); }).join();
    EXPECT_EQ(webView().scripts.size(), scriptsBefore) << "only on the main queue";
    platform.mainQueue.runUntilIdle();
    ASSERT_EQ(webView().scripts.size(), scriptsBefore + 1);
    EXPECT_EQ(detailOf(webView().scripts.back().source),
              (json{{"request_id", "Req-" + std::to_string(success) + "-42"}, {"ok", success}}));
    EXPECT_FALSE(webView().scripts.back().completion) << "the result is not wanted";
    scriptsBefore = webView().scripts.size();
  }
}

TEST_F(FinancialUnlock, AReplyAfterTheDelegateWentDispatchesNothing) {
  post("abcd-1234");
  auto reply = platform.deviceOwnerAuth.evaluations.back().reply;
  auto page = platform.application.webView;
  delegate.reset();
  reply(true);
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(page->scripts.size(), scriptsBefore);
}

TEST_F(FinancialUnlock, TwoRequestsBackToBackGetTwoEventsEachWithItsOwnIdentifier) {
  post("first-0001");
  post("second-0002");
  ASSERT_EQ(platform.deviceOwnerAuth.contexts, 2);
  ASSERT_EQ(platform.deviceOwnerAuth.evaluations.size(), 2U);
  platform.deviceOwnerAuth.evaluations[1].reply(false);
  platform.deviceOwnerAuth.evaluations[0].reply(true);
  platform.mainQueue.runUntilIdle();
  EXPECT_EQ(events(), (std::vector<json>{{{"request_id", "second-0002"}, {"ok", false}},
                                         {{"request_id", "first-0001"}, {"ok", true}}}));
}

TEST(FinancialUnlockScript, IsTheEventWithACompactDetailOrNothingForTextThatIsNotUtf8) {
  auto script = bridge::financialUnlockScript("abcd-1234", true);
  ASSERT_TRUE(script);
  EXPECT_TRUE(
      *script == std::string(scriptStart) + R"({"request_id":"abcd-1234","ok":true})" + scriptEnd ||
      *script == std::string(scriptStart) + R"({"ok":true,"request_id":"abcd-1234"})" + scriptEnd)
      << *script;
  EXPECT_EQ(bridge::financialUnlockScript("abcd\xff-1234", false), std::nullopt);
}

}  // namespace
}  // namespace tarnwick::app
