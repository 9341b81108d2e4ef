// The unlock of financial data end to end: the real bundle in a private mount namespace whose
// /etc/pam.d holds a "tarnwick" service over pam_matrix (or none), the interface's request, the
// prompt on the X server, and the answer the page logs at the stand-in Connector.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "Harness.h"
#include "MapRecorder.h"
#include "ShellSession.h"
#include "StandIn.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

const std::string local = "http://127.0.0.1:8766";

class UnlockFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(client.answers()) << "something already listens on 127.0.0.1:8766";
    ASSERT_TRUE(session.ready());
  }

  // Starts the shell with `services` over /etc/pam.d; with `matrix`, a "tarnwick" service there
  // whose only password for the account is "right-password".
  void launch(bool matrix) {
    fs::path services = folder.path() / "pam.d";
    fs::create_directories(services);
    if (matrix) {
      // The shell runs as root in its namespace, mapped there when the test is not root.
      testsupport::writeFile(folder.path() / "passdb", "root:right-password:tarnwick\n");
      std::string module =
          std::string(TARNWICK_PAM_MATRIX) + " passdb=" + (folder.path() / "passdb").string();
      testsupport::writeFile(services / "tarnwick",
                             "auth required " + module + "\naccount required " + module + "\n");
    }
    std::vector<std::string> arguments = {"--mount", "--propagation", "private"};
    if (getuid() != 0) {
      arguments.insert(arguments.begin(), "--map-root-user");
    }
    arguments.insert(arguments.end(),
                     {"/bin/sh", "-c", "mount --bind \"$1\" /etc/pam.d && shift && exec \"$@\"",
                      "sh", services.string(), appExecutable().string()});
    shell = std::make_unique<Process>("/usr/bin/unshare", arguments, session.environment("shell"));
    ASSERT_TRUE(shell->started());
    main = session.waitForMainWindow();
    ASSERT_TRUE(main);
    ASSERT_TRUE(
        client.waitForLog(logEntryWith({{"event", "loaded"}, {"path", "/"}, {"isTop", true}}), 60s))
        << "the interface never loaded";
  }

  // The interface posts an unlock request with this identifier.
  void request(const std::string& identifier) {
    ASSERT_TRUE(client.command(
        {{"action", "act"}, {"query", "do=unlock&delay=now&request_id=" + identifier}}));
  }

  std::optional<Json> answer(const std::string& identifier, Clock::duration timeout = 20s) {
    std::optional<Json> found;
    client.waitForLog(
        [&](const Json& entry) {
          if (entry.value("event", "") == "unlock-reply" &&
              entry["detail"].value("request_id", "") == identifier) {
            found = entry["detail"];
            return true;
          }
          return false;
        },
        timeout);
    return found;
  }

  std::optional<WindowInfo> prompt() {
    auto found = session.waitForSheet(20s);
    if (found) {
      EXPECT_EQ(found->transientFor, main->id) << "the prompt stands over the main window";
      EXPECT_EQ(found->title, "Tarnwick");
    }
    return found;
  }

  void type(const WindowInfo& window, const std::string& text) {
    for (char c : text) {
      ASSERT_TRUE(session.pressKey(window, c == '-' ? "minus" : std::string(1, c)));
    }
  }

  ConnectorClient client;
  ShellSession session;
  TemporaryFolder folder{"tarnwick-unlock"};
  std::unique_ptr<Process> shell;
  std::optional<WindowInfo> main;
};

TEST_F(UnlockFlow, ThePromptAnswersTheInterfaceOneRequestAtATime) {
  launch(true);
  struct Case {
    std::string identifier;
    std::vector<std::string> typed;  // text, or a key name after "key:"
    bool ok;
  };
  const std::vector<Case> cases = {
      {"unlock-right-0001", {"right-password", "key:Return"}, true},
      {"unlock-wrong-0002", {"wrong-password", "key:Return"}, false},
      {"unlock-escape-0003", {"right-pass", "key:Escape"}, false},
      // From the entry, the next stop is the first button: "Cancel".
      {"unlock-cancel-0004", {"right-password", "key:Tab", "key:space"}, false},
  };
  for (const auto& [identifier, typed, ok] : cases) {
    SCOPED_TRACE(identifier);
    request(identifier);
    auto window = prompt();
    ASSERT_TRUE(window) << "no prompt\n" << client.log().dump() << "\n"
                        << readFile(session.home() / "shell-stderr.txt");
    if (ok) {
      session.screenshot("unlock-prompt");
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(answer(identifier, 100ms)) << "answered before the person did";
    for (const auto& input : typed) {
      if (input.starts_with("key:")) {
        ASSERT_TRUE(session.pressKey(*window, input.substr(4)));
      } else {
        type(*window, input);
      }
    }
    EXPECT_EQ(answer(identifier), (Json{{"request_id", identifier}, {"ok", ok}}))
        << client.log().dump();
    EXPECT_TRUE(waitUntil([&] { return session.sheets().empty(); }, 10s));
  }

  // Two requests back to back: the second prompt comes once the first has gone.
  request("unlock-first-0005");
  request("unlock-second-0006");
  auto first = prompt();
  ASSERT_TRUE(first);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(session.sheets().size(), 1U) << "one prompt at a time";
  type(*first, "right-password");
  ASSERT_TRUE(session.pressKey(*first, "Return"));
  EXPECT_EQ(answer("unlock-first-0005"), (Json{{"request_id", "unlock-first-0005"}, {"ok", true}}));
  auto second = session.screen().waitForWindow(
      [&](const WindowInfo& window) {
        return window.viewable && window.transientFor == main->id && window.id != first->id;
      },
      20s);
  ASSERT_TRUE(second) << "no second prompt";
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(session.pressKey(*second, "Escape"));
  EXPECT_EQ(answer("unlock-second-0006"),
            (Json{{"request_id", "unlock-second-0006"}, {"ok", false}}));

  // The demo's page shows the answer it received.
  session.screenshot("unlock-answered");
}

TEST_F(UnlockFlow, FramesAndOtherOriginsGetNoPromptAndNoAnswer) {
  launch(true);
  MapRecorder maps(session.displayName());
  const std::vector<std::pair<std::string, std::string>> pages = {
      {local + "/test/frame?do=unlock&request_id=unlock-frame-0001", "unlock-frame-0001"},
      {"http://localhost:8766/test/act?do=unlock&request_id=unlock-localhost-0002",
       "unlock-localhost-0002"},
  };
  for (const auto& [url, identifier] : pages) {
    SCOPED_TRACE(url);
    ASSERT_TRUE(client.clearLog());
    ASSERT_TRUE(client.navigate(url));
    // The page did post it.
    ASSERT_TRUE(client.waitForLog(
        logEntryWith({{"event", "unlock-sent"}, {"requestID", identifier}, {"sent", true}}), 30s))
        << client.log().dump();
    EXPECT_FALSE(answer(identifier, 3s));
    EXPECT_EQ(maps.dialogsMapped(), 0) << "a prompt was mapped";
    ASSERT_TRUE(client.navigate(local + "/"));
    ASSERT_TRUE(client.waitForLog(logEntryWith({{"event", "loaded"}, {"path", "/"}}), 30s));
  }
}

TEST_F(UnlockFlow, WithoutTheServiceTheRefusalComesAtOnceAndNoPromptIsMapped) {
  launch(false);
  MapRecorder maps(session.displayName());
  auto asked = Clock::now();
  request("unlock-none-0001");
  EXPECT_EQ(answer("unlock-none-0001"), (Json{{"request_id", "unlock-none-0001"}, {"ok", false}}));
  // The page polls for the command every 0.2 s and logs over HTTP: "at once" within a second.
  EXPECT_LT(Clock::now() - asked, 3s);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(maps.dialogsMapped(), 0) << "a prompt was mapped";
}

}  // namespace
}  // namespace tarnwick::e2e
