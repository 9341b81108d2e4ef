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
  std::string name;
  std::string body;
  FrameInfo frame;
  bool accepted;
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
        MessageCase{"8 characters", unlockName, bodyWith("abcd-123"), interfacePage, true},
        MessageCase{"100 characters", unlockName, bodyWith(hundred), interfacePage, true},
        MessageCase{"only hyphens", unlockName, bodyWith("--------"), interfacePage, true},
        MessageCase{"other members", unlockName,
                    R"({"amount":[1,{"a":null}],"request_id":"AbCd-1234","x":"y"})", interfacePage,
                    true},
        MessageCase{"7 characters", unlockName, bodyWith("abc-123"), interfacePage, false},
        MessageCase{"101 characters", unlockName, bodyWith(hundred + "x"), interfacePage, false},
        MessageCase{"underscore", unlockName, bodyWith("abcd_1234"), interfacePage, false},
        MessageCase{"dot", unlockName, bodyWith("abcd.1234"), interfacePage, false},
        MessageCase{"space", unlockName, bodyWith("abcd 1234"), interfacePage, false},
        MessageCase{"trailing newline", unlockName, bodyWith("abcd-1234\n"), interfacePage, false},
        MessageCase{"non-ASCII letter", unlockName, bodyWith("abcd\u00e91234"), interfacePage,
                    false},
        MessageCase{"empty", unlockName, bodyWith(""), interfacePage, false},
        MessageCase{"a number", unlockName, R"({"request_id":12345678})", interfacePage, false},
        MessageCase{"null", unlockName, R"({"request_id":null})", interfacePage, false},
        MessageCase{"absent", unlockName, R"({"requestId":"abcd-1234"})", interfacePage, false},
        MessageCase{"an array", unlockName, R"(["abcd-1234"])", interfacePage, false},
        MessageCase{"a string", unlockName, R"("abcd-1234")", interfacePage, false},
        MessageCase{"invalid JSON", unlockName, R"({"request_id":"abcd-1234")", interfacePage,
                    false},
        MessageCase{"no body", unlockName, "", interfacePage, false},
        MessageCase{"deeply nested", unlockName,
                    R"({"request_id":"abcd-1234","x":)" + std::string(100000, '[') +
                        std::string(100000, ']') + "}",
                    interfacePage, false},
        MessageCase{"megabytes long", unlockName,
                    R"({"request_id":"abcd-1234","x":")" + std::string(3 << 20, 'x') + "\"}",
                    interfacePage, false},
        MessageCase{"another name", "tarnwickOtherRequest", bodyWith("abcd-1234"), interfacePage,
                    false},
        MessageCase{"a subframe",
                    unlockName,
                    bodyWith("abcd-1234"),
                    {false, {"http", "127.0.0.1", 8766}},
                    false},
        MessageCase{"localhost",
                    unlockName,
                    bodyWith("abcd-1234"),
                    {true, {"http", "localhost", 8766}},
                    false},
        MessageCase{"https",
                    unlockName,
                    bodyWith("abcd-1234"),
                    {true, {"https", "127.0.0.1", 8766}},
                    false},
        MessageCase{"another port",
                    unlockName,
                    bodyWith("abcd-1234"),
                    {true, {"http", "127.0.0.1", 8767}},
                    false},
        MessageCase{"an untrusted frame", unlockName, bodyWith("abcd-1234"), FrameInfo{}, false}),
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
