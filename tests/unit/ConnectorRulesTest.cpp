#include <gtest/gtest.h>

#include <limits>

#include "connector/ConnectorHealth.h"

namespace tarnwick::connector {
namespace {

using platform::HeaderList;
using platform::HttpResponse;

constexpr std::uint32_t ownAccount = 1000;

HttpResponse answer(std::optional<int> status, HeaderList headers = {},
                    std::optional<std::uint32_t> account = ownAccount) {
  HttpResponse response;
  response.status = status;
  response.headers = std::move(headers);
  response.peerAccount = account;
  return response;
}

struct HealthCase {
  const char* name;
  HttpResponse response;
  HealthVerdict expected;
};

class HealthVerdicts : public testing::TestWithParam<HealthCase> {};

TEST_P(HealthVerdicts, JudgeTheAnswerAgainstTheSignatureOf201) {
  EXPECT_EQ(judgeHealth(GetParam().response, "TarnwickDesktop/2.0.1", ownAccount),
            GetParam().expected);
}

HttpResponse failedTransfer() {
  HttpResponse response;
  response.transportError = "Could not connect to the server.";
  return response;
}

HttpResponse statusWithError() {
  // A transfer that broke after the status line arrived is still a failed transfer.
  auto response = answer(200, {{"Server", "TarnwickDesktop/2.0.1"}});
  response.transportError = "The network connection was lost.";
  return response;
}

constexpr HealthVerdict healthy{.healthy = true, .stale = false};
constexpr HealthVerdict stale{.healthy = false, .stale = true};
constexpr HealthVerdict neither{.healthy = false, .stale = false};

INSTANTIATE_TEST_SUITE_P(
    Answers, HealthVerdicts,
    testing::Values(
        HealthCase{"sameVersion", answer(200, {{"Server", "TarnwickDesktop/2.0.1"}}), healthy},
        HealthCase{"headerNameInAnyCase", answer(200, {{"sErVeR", "TarnwickDesktop/2.0.1"}}),
                   healthy},
        HealthCase{"signatureInsideALongerHeader",
                   answer(200, {{"Server", "uvicorn TarnwickDesktop/2.0.1 (linux)"}}), healthy},
        // A plain substring test: 2.0.10 contains 2.0.1.
        HealthCase{"longerVersionContainsTheSignature",
                   answer(200, {{"Server", "TarnwickDesktop/2.0.10"}}), healthy},
        HealthCase{"otherVersion", answer(200, {{"Server", "TarnwickDesktop/2.0.2"}}), stale},
        HealthCase{"bareProductWord", answer(200, {{"Server", "TarnwickDesktop/"}}), stale},
        HealthCase{"signatureInOtherCase", answer(200, {{"Server", "tarnwickdesktop/2.0.1"}}),
                   neither},
        HealthCase{"otherServer", answer(200, {{"Server", "nginx/1.22"}}), neither},
        HealthCase{"noServerHeader", answer(200, {{"Content-Type", "text/html"}}), neither},
        HealthCase{"signatureInAnotherHeader", answer(200, {{"X-Server", "TarnwickDesktop/2.0.1"}}),
                   neither},
        HealthCase{"serverError", answer(503, {{"Server", "TarnwickDesktop/2.0.1"}}), neither},
        HealthCase{"noContent", answer(204, {{"Server", "TarnwickDesktop/1.0.0"}}), neither},
        // Only this account's socket counts; a stranger's is neither, so it is never signalled.
        HealthCase{"sameVersionOfAnotherAccount",
                   answer(200, {{"Server", "TarnwickDesktop/2.0.1"}}, 1001), neither},
        HealthCase{"otherVersionOfRoot", answer(200, {{"Server", "TarnwickDesktop/2.0.2"}}, 0),
                   neither},
        HealthCase{"ownerUnknown", answer(200, {{"Server", "TarnwickDesktop/2.0.1"}}, std::nullopt),
                   neither},
        HealthCase{"refused", failedTransfer(), neither},
        HealthCase{"brokenAfterStatus", statusWithError(), neither}),
    [](const auto& each) { return std::string(each.param.name); });

struct ListenerCase {
  const char* name;
  const char* output;
  std::vector<std::int32_t> expected;
};

class ListenerOutput : public testing::TestWithParam<ListenerCase> {};

TEST_P(ListenerOutput, YieldsOnlyWholeIdsAboveOneInOrder) {
  EXPECT_EQ(listenerProcessIds(GetParam().output), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ListenerOutput,
    testing::Values(
        ListenerCase{"empty", "", {}}, ListenerCase{"oneWithTrailingNewline", "4242\n", {4242}},
        ListenerCase{"oneWithoutNewline", "4242", {4242}},
        ListenerCase{"twoInListedOrder", "900\n17\n", {900, 17}},
        ListenerCase{"blankLines", "\n\n31\n\n\n58\n\n", {31, 58}},
        ListenerCase{"surroundingSpacesAndTabs", "  31 \n\t58\t\n \t 77  \t", {31, 58, 77}},
        ListenerCase{"carriageReturns", "31\r\n58\r\n", {31, 58}},
        ListenerCase{"whitespaceOnlyLines", "   \n\t\n31\n", {31}},
        ListenerCase{"letters", "lsof: WARNING\n31\nabc\n", {31}},
        ListenerCase{"digitsWithLetters", "31abc\n58\n", {58}}, ListenerCase{"init", "1\n", {}},
        ListenerCase{"zero", "0\n", {}}, ListenerCase{"negative", "-5\n", {}},
        ListenerCase{"twoOnOneLine", "12 13\n", {}},
        ListenerCase{"pastThirtyTwoBits", "2147483648\n2147483647\n", {2147483647}},
        ListenerCase{"explicitPlus", "+44\n", {44}}, ListenerCase{"hexadecimal", "0x1F\n", {}},
        ListenerCase{"decimalPoint", "31.0\n", {}},
        ListenerCase{"mixed", "\n  1\n 0 \n-5\n2\n99999999999\nxyz\n  3000  \n", {2, 3000}}),
    [](const auto& each) { return std::string(each.param.name); });

struct NumberCase {
  const char* text;
  std::optional<std::int32_t> expected;
};

class ProcessIdNumbers : public testing::TestWithParam<NumberCase> {};

TEST_P(ProcessIdNumbers, ParseWholeSignedThirtyTwoBitDecimals) {
  EXPECT_EQ(parseProcessId(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ProcessIdNumbers,
    testing::Values(NumberCase{"0", 0}, NumberCase{"00042", 42}, NumberCase{"-1", -1},
                    NumberCase{"2147483647", std::numeric_limits<std::int32_t>::max()},
                    NumberCase{"-2147483648", std::numeric_limits<std::int32_t>::min()},
                    NumberCase{"2147483648", std::nullopt}, NumberCase{"-2147483649", std::nullopt},
                    NumberCase{"99999999999999999999999", std::nullopt},
                    NumberCase{"", std::nullopt}, NumberCase{"+", std::nullopt},
                    NumberCase{"-", std::nullopt}, NumberCase{"--3", std::nullopt},
                    NumberCase{"+-3", std::nullopt}, NumberCase{" 3", std::nullopt},
                    NumberCase{"3 ", std::nullopt}, NumberCase{"4 2", std::nullopt},
                    NumberCase{"\xef\xbc\x91", std::nullopt}));

}  // namespace
}  // namespace tarnwick::connector
