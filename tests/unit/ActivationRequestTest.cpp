#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/TarnwickVisibleInstance.h"

namespace tarnwick::app::activation {
namespace {

using namespace std::string_literals;

TEST(ActivationRequest, RoundTripsTheURLsInOrder) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"tarnwick://plaid-complete"},
      {"tarnwick://desktop-pair?server=a b", "tarnwick2://x?$(y);z|*'\"", "t://\u00fcn\u00efcode"},
      {"b://2", "a://1", "b://2"},
  };
  for (const auto& urls : cases) {
    auto request = encodeRequest(urls);
    ASSERT_TRUE(request);
    EXPECT_EQ(decodeRequest(*request), urls);
  }
}

TEST(ActivationRequest, EveryFieldEndsInANulByte) {
  EXPECT_EQ(encodeRequest({}), "activate\0"s);
  EXPECT_EQ(encodeRequest({"a://1", "b://2"}), "activate\0a://1\0b://2\0"s);
}

TEST(ActivationRequest, RefusesURLsItCouldNotFrame) {
  EXPECT_FALSE(encodeRequest({""}));
  EXPECT_FALSE(encodeRequest({"a://1", "x\0y"s}));
}

TEST(ActivationRequest, IsBoundedInSize) {
  const std::size_t framing = std::string("activate").size() + 2;  // two NUL bytes
  std::string fits(maximumRequestSize - framing, 'u');
  auto largest = encodeRequest({fits});
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->size(), maximumRequestSize);
  EXPECT_EQ(decodeRequest(*largest), std::vector<std::string>{fits});

  EXPECT_FALSE(encodeRequest({fits + "u"}));
  EXPECT_FALSE(encodeRequest(std::vector<std::string>(maximumRequestSize / 8, "a://1234")));
  // Well formed but one byte too long.
  EXPECT_FALSE(decodeRequest("activate\0"s + std::string(maximumRequestSize - 9, 'u') + "\0"s));
}

TEST(ActivationRequest, RejectsAnythingMalformed) {
  const std::vector<std::string> malformed = {
      ""s,
      "activate"s,             // unterminated word
      "activate\0a://1"s,      // unterminated URL
      "activate\0\0"s,         // empty URL
      "activate\0a://1\0\0"s,  // empty field after a URL
      "\0"s,                   // no word
      "ACTIVATE\0"s,           // the word is exact
      "activat\0"s,            //
      "activate \0"s,          //
      "open\0a://1\0"s,        // another request
      "\0activate\0"s,         //
  };
  for (const auto& request : malformed) {
    EXPECT_FALSE(decodeRequest(request)) << testing::PrintToString(request);
  }
}

TEST(ActivationPeer, OnlyTheSameUserIsAccepted) {
  EXPECT_TRUE(isAcceptedPeer(1000, 1000));
  EXPECT_TRUE(isAcceptedPeer(0, 0));
  EXPECT_FALSE(isAcceptedPeer(65534, 1000));
  EXPECT_FALSE(isAcceptedPeer(0, 1000));  // not even the administrator
  EXPECT_FALSE(isAcceptedPeer(1000, 0));
  EXPECT_FALSE(isAcceptedPeer(std::nullopt, 1000));  // credentials unknown
}

TEST(ActivationPeer, ReadsTheUserAtTheOtherEndOfASocket) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(peerUser(pair[0]), ::getuid());
  ::close(pair[0]);
  ::close(pair[1]);

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_FALSE(peerUser(pipeFds[0]));  // not a socket
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_FALSE(peerUser(-1));
}

}  // namespace
}  // namespace tarnwick::app::activation
