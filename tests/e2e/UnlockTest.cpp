// The unlock of financial data through the real PAM stack: the shell in a mount namespace whose
// /etc/pam.d holds a "tarnwick" service over pam_matrix, the interface's requests, the prompt on
// the X server typed into as a person would, and the answers the page receives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

TEST(Unlock, ThePromptAnswersTheInterfaceOneRequestAtATime) {
  if (std::string(TARNWICK_PAM_MATRIX).empty()) {
    GTEST_SKIP() << "needs libpam-wrapper's pam_matrix";
  }
  StandIn connector;
  ASSERT_FALSE(connector.server()) << "something already listens on 127.0.0.1:8766";
  TemporaryFolder folder("tarnwick-unlock");
  // The shell runs as root in its namespace (mapped there when the test is not root), whose only
  // password is "right-password".
  fs::create_directories(folder.path() / "pam.d");
  writeFile(folder.path() / "passdb", "root:right-password:tarnwick\n");
  const std::string module =
      std::string(TARNWICK_PAM_MATRIX) + " passdb=" + (folder.path() / "passdb").string();
  writeFile(folder.path() / "pam.d/tarnwick",
            "auth required " + module + "\naccount required " + module + "\n");
  auto wrapper = namespaced({(folder.path() / "pam.d").string(), "/etc/pam.d"});
  if (getuid() != 0) {
    wrapper.insert(wrapper.begin() + 1, "--map-root-user");
  }
  Session session;
  ASSERT_TRUE(session.launch({}, wrapper));
  ASSERT_FALSE(connector.waitLog(loaded("/"), 60s).empty()) << "the interface never loaded";

  auto request = [&](const std::string& id) {
    return connector.post("/test/command",
                          {{"action", "act"}, {"query", "do=unlock&delay=now&request_id=" + id}});
  };
  auto replied = [&](const std::string& id, bool ok) {
    return !connector
                .waitLog({{"event", "unlock-reply"}, {"detail", {{"request_id", id}, {"ok", ok}}}},
                         20s)
                .empty();
  };
  auto type = [&](const Window& prompt, const std::string& text) {
    for (char c : text) {
      session.press(prompt, c == '-' ? "minus" : std::string(1, c));
    }
  };
  struct Case {
    std::string id, typed;
    std::vector<std::string> keys;
    bool ok;
  };
  for (const auto& [id, typed, keys, ok] :
       std::vector<Case>{{"unlock-right-0001", "right-password", {"Return"}, true},
                         {"unlock-wrong-0002", "wrong-password", {"Return"}, false},
                         {"unlock-escape-0003", "right-pass", {"Escape"}, false},
                         // From the entry, the next stop is the first button: "Cancel".
                         {"unlock-cancel-0004", "right-password", {"Tab", "space"}, false}}) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(connector.clear("/test/log") && request(id));
    auto prompt = session.waitSheet();
    ASSERT_TRUE(prompt) << "no prompt\n" << readFile(session.home.path() / "shell-stderr.txt");
    EXPECT_EQ(prompt->title, "Tarnwick");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(connector.waitLog({{"event", "unlock-reply"}}, 0s).empty()) << "answered early";
    type(*prompt, typed);
    for (const auto& key : keys) {
      session.press(*prompt, key);
    }
    EXPECT_TRUE(replied(id, ok)) << connector.get("/test/log").dump();
    EXPECT_TRUE(waitUntil([&] { return session.sheets().empty(); }, 10s));
  }

  // Two requests back to back: the second prompt comes once the first has gone.
  ASSERT_TRUE(connector.clear("/test/log") && request("unlock-first-0005") &&
              request("unlock-second-0006"));
  auto first = session.waitSheet();
  ASSERT_TRUE(first);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(session.sheets().size(), 1U) << "one prompt at a time";
  type(*first, "right-password");
  session.press(*first, "Return");
  EXPECT_TRUE(replied("unlock-first-0005", true));
  auto second = session.screen->waitFor([&](const Window& window) {
    return window.owner == session.main.id && window.id != first->id;
  });
  ASSERT_TRUE(second) << "no second prompt";
  std::this_thread::sleep_for(300ms);
  session.press(*second, "Escape");
  EXPECT_TRUE(replied("unlock-second-0006", false));

  // A frame's request gets no prompt and no answer.
  ASSERT_TRUE(connector.clear("/test/log") &&
              connector.navigate(local + "/test/frame?do=unlock&request_id=unlock-frame-0007"));
  ASSERT_FALSE(
      connector
          .waitLog({{"event", "unlock-sent"}, {"requestID", "unlock-frame-0007"}, {"sent", true}})
          .empty());
  EXPECT_FALSE(session.waitSheet(3s)) << "a frame got a prompt";
  EXPECT_TRUE(connector.waitLog({{"event", "unlock-reply"}}, 0s).empty());
  EXPECT_TRUE(session.quit());
}

}  // namespace
}  // namespace tarnwick::e2e
