// The desktop's token for raising the window: handed over by another copy, kept to printable
// ASCII, and given to the window port for the one presentation it came with.
#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "app/ActivationChannel.h"

namespace tarnwick::app {
namespace {

using activation::Activation;
using namespace std::string_literals;
const std::string longest(256, 't');

TEST(StartupToken, TravelsFirstUnderItsOwnWordAndOnlyAsAToken) {
  const std::vector<std::pair<Activation, std::optional<std::string>>> encoded = {
      {{{"a://1"}, ""}, "activate\0a://1\0"s},
      {{{}, "id_TIME5"}, "activate-with-token\0id_TIME5\0"s},
      {{{"a://1", "b://2"}, "wl:3"}, "activate-with-token\0wl:3\0a://1\0b://2\0"s},
      {{{""}, "tok"}, std::nullopt},
  };
  for (const auto& [activation, bytes] : encoded) {
    EXPECT_EQ(activation::encodeRequest(activation.urls, activation.token), bytes);
    EXPECT_TRUE(!bytes || activation::decodeActivation(*bytes) == activation) << activation.token;
  }
  for (const auto& refused : {"activate-with-token\0"s, "activate-with-token\0\0a://1\0"s,
                              "activate-with-token\0t\x7fk\0"s, "activate-with-token\0tok\0\0"s}) {
    EXPECT_FALSE(activation::decodeActivation(refused)) << testing::PrintToString(refused);
  }
}

TEST(StartupToken, ReachesTheWindowPortForThePresentationItCameWith) {
  struct Row {
    std::string own;                     // the token this copy was started with
    Activation request;                  // from another copy, once launched (before, when `early`)
    std::vector<std::string> presented;  // at launch, for the request, at a plain reopen
    bool early = false;
  };
  const std::vector<Row> rows = {
      {"l-1_TIME100", {{}, "l-2_TIME200"}, {"l-1_TIME100", "l-2_TIME200", ""}},
      {"", {{"https://elsewhere.example/"}, "tok-4"}, {"", ""}},
      {"own-5", {{}, "other-5"}, {"own-5", ""}, true},
      {longest, {{}, longest + "t"}, {longest, "", ""}},
      {"caf\u00e9", {{}, "t k"}, {"", "", ""}},
  };
  for (const auto& row : rows) {
    fakes::FakePlatform platform;
    auto delegate = platform.makeDelegate();
    delegate->setStartupToken(row.own);
    if (row.early) {
      delegate->handleActivation(row.request);
    }
    delegate->applicationDidFinishLaunching();
    if (!row.early) {
      delegate->handleActivation(row.request);
    }
    delegate->handleActivation({});
    EXPECT_EQ(platform.application.window->presentedTokens, row.presented) << row.request.token;
  }
}

}  // namespace
}  // namespace tarnwick::app
