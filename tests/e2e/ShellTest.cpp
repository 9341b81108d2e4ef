// Start and page duties in one session: window, status page, title, GL left to the page, menu,
// the sheets and panels only the interface gets, paste, cookies, a dead content process; then,
// over a pam_matrix stack, a stale Connector replaced, the unlock prompt, and a new Connector
// after one dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

const std::string other = "http://127.0.0.1:8767";

bool mapsSoftwareGl(int pid) {
  auto maps = readFile("/proc/" + std::to_string(pid) + "/maps");
  return maps.find("swrast_dri") != std::string::npos || maps.find("libLLVM") != std::string::npos;
}

TEST(Shell, ShowsTheInterfaceAndServesOnlyItsTrustedFrames) {
  const std::string matrix = TARNWICK_PAM_MATRIX;
  if (matrix.empty()) {
    GTEST_SKIP() << "needs libpam-wrapper's pam_matrix";
  }
  StandIn connector;
  ASSERT_FALSE(connector.server()) << "something already listens on 127.0.0.1:8766";
  // A Connector of this version on two origins, its first two answers 1.5 s late: time to read.
  Process running(TARNWICK_CONNECTOR_EXECUTABLE,
                  {"--version", version, "--client-source", "channel", "--interface-version",
                   "2026.12.1", "--extra-port", "8767"});
  ASSERT_TRUE(waitUntil([&] { return connector.server().has_value(); }, 20s));
  ASSERT_TRUE(connector.post("/test/hold-interface", {{"count", 2}, {"ms", 6000}}));
  Session session;
  auto& screen = session.screen;
  auto titled = [&](const std::string& title) {
    auto is = [&](const Window& one) { return one.id == session.main.id && one.title == title; };
    return screen.waitFor(is, 10s).has_value();
  };

  ASSERT_TRUE(session.launch());
  EXPECT_EQ(std::vector({session.main.x, session.main.y, session.main.width, session.main.height}),
            std::vector({(1280 - 1080) / 2, (900 - 780) / 2, 1080, 780}));
  EXPECT_TRUE(session.waitText("Connecting to Tarnwick\u2026", 10s));
  ASSERT_FALSE(connector.waitLog(loaded("/"), 30s).empty()) << "the interface never loaded";
  EXPECT_TRUE(titled("Tarnwick \u00b7 Interface 2026.12.1"));
  // Without a GPU render node the software GL stack is the web process's alone.
  if (!fs::exists("/dev/dri/renderD128")) {
    auto pages = processesOf("WebKitWebProcess", session.home.path());
    EXPECT_TRUE(pages.size() == 1 && mapsSoftwareGl(pages[0])) << "nothing to leave out";
    EXPECT_FALSE(mapsSoftwareGl(session.shell->pid()));
  }

  // The menu over the page; once it closes, the page shows again where it was.
  std::this_thread::sleep_for(1s);
  auto page = [&] { return screen.capture(session.main.x, session.main.y + 40, 400, 300); };
  auto before = page();
  session.click(20, 12);
  ASSERT_TRUE(screen.waitFor([](const Window& one) { return one.popup && one.height > 40; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(page() != before) << "the menu did not cover the page";
  runCommand("/usr/bin/xdotool", {"key", "Escape"}, session.environment("xdotool"));
  EXPECT_TRUE(waitUntil([&] { return page() == before; }, 5s)) << "not repainted";

  auto go = [&](const std::string& url, const std::string& path) {
    return connector.clear("/test/log") && connector.navigate(url) &&
           !connector.waitLog(loaded(path)).empty();
  };
  auto dialog = [&] { return connector.waitLog({{"event", "dialog"}}).at(0); };
  // The interface's dialogs are sheets on the window, and the page waits for the answer.
  for (const auto& [action, key, result] :
       std::vector<std::tuple<std::string, std::string, Json>>{{"alert", "Return", nullptr},
                                                               {"confirm", "Return", true},
                                                               {"confirm", "Escape", false}}) {
    SCOPED_TRACE(action + " answered with " + key);
    ASSERT_TRUE(go(local + "/test/act?do=" + action + "&message=" + escaped("Import statements?"),
                   "/test/act"));
    auto sheet = session.waitSheet();
    ASSERT_TRUE(sheet) << "no sheet";
    EXPECT_EQ(sheet->title, "Tarnwick");
    EXPECT_TRUE(session.waitText("Import statements?", 5s));
    EXPECT_TRUE(connector.waitLog({{"event", "dialog"}}, 0s).empty()) << "the page went on";
    session.press(*sheet, key);
    EXPECT_EQ(dialog()["result"], result);
    EXPECT_TRUE(waitUntil([&] { return !session.waitSheet(0s); }, 5s));
  }
  // Any other frame or origin gets no sheet, and its confirm is false at once.
  const std::string ask = "do=confirm&message=" + escaped("Can I see your accounts?");
  for (const auto& [url, path] : std::vector<std::pair<std::string, std::string>>{
           {local + "/test/frame?" + ask, "/test/frame"},  // a srcdoc frame
           {local + "/test/frame?child=" + escaped(other + "/test/act?" + ask), "/test/frame"},
           // a frame borrowing the confirm of a frame it makes
           {local + "/test/frame?child=" + escaped(other + "/test/act?via=fresh-frame&" + ask),
            "/test/frame"},
           {"http://localhost:8766/test/act?" + ask, "/test/act"},
           {other + "/test/act?" + ask, "/test/act"}}) {
    SCOPED_TRACE(url);
    ASSERT_TRUE(go(url, path));
    auto answer = dialog();
    EXPECT_EQ(answer["result"], false);
    EXPECT_LT(answer.value("elapsed", 1e9), 1000.0) << "the page waited";
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(!session.waitSheet(0s)) << "a sheet appeared";
  }

  // A file input of the interface opens a panel on the window; one in another origin's frame not.
  ASSERT_TRUE(go(local + "/test/file", "/test/file"));
  session.clickContent(540, 300);
  auto panel = session.waitSheet();
  ASSERT_TRUE(panel) << "no open panel";
  session.press(*panel, "Escape");
  EXPECT_TRUE(waitUntil([&] { return !session.waitSheet(0s); }, 10s));
  ASSERT_TRUE(go(local + "/test/frame?child=" + escaped(other + "/test/file"), "/test/frame"));
  ASSERT_FALSE(connector.waitLog({{"event", "loaded"}, {"path", "/test/file"}}).empty());
  session.clickContent(200, 200);
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(!session.waitSheet(0s)) << "a frame opened a panel";
  EXPECT_TRUE(connector.waitLog({{"event", "file-change"}}, 0s).empty());

  // Paste replaces the selection in one input event; a read-only field keeps its value.
  for (const auto& [field, text] : std::vector<std::pair<std::string, std::string>>{
           {"textarea", "He said \"hi\" \\ 'there' </script><script>alert(1)</script>\n\tx \\n"},
           {"readonly", "never"}}) {
    SCOPED_TRACE(field);
    writeFile(session.home.path() / "clipboard", text);
    Process holder("/usr/bin/xclip",
                   {"-quiet", "-sel", "clip", "-i", (session.home.path() / "clipboard").string()},
                   session.environment("xclip"));
    auto held = [&] {
      auto clip = runCommand("/usr/bin/xclip", {"-o", "-sel", "clip"}, session.environment("out"));
      return clip.output == text;
    };
    ASSERT_TRUE(waitUntil(held, 10s));
    ASSERT_TRUE(go(local + "/test/paste?field=" + field + "&value=Hello%20world&start=6&end=11",
                   "/test/paste"));
    ASSERT_FALSE(connector.waitLog({{"event", "paste-ready"}}, 10s).empty());
    session.press(session.main, "ctrl+v");
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(connector.post("/test/command", {{"action", "report"}}));
    auto report = connector.waitLog({{"event", "report"}}, 10s).at(0);
    auto inputs = connector.waitLog({{"event", "input"}}, 0s);
    EXPECT_EQ(report["fields"]["field"], field == "readonly" ? "Hello world" : "Hello " + text);
    ASSERT_EQ(inputs.size(), field == "readonly" ? 0U : 1U);
    for (const auto& input : inputs) {
      EXPECT_EQ(input["inputType"], "insertFromPaste");
      EXPECT_EQ(input["data"], text);
      EXPECT_EQ(input["selectionStart"], 6 + text.size());
      EXPECT_EQ(input["selectionEnd"], 6 + text.size());
    }
  }

  // A cookie the interface sets, kept for the next start.
  ASSERT_TRUE(go(local + "/test/cookie", "/"));
  // A dead content process: the reopening page, then the interface again. The interface is held
  // back long enough for the reader to find that page on a busy machine.
  ASSERT_TRUE(connector.post("/test/hold-interface", {{"count", 2}, {"ms", 6000}}));
  ASSERT_TRUE(connector.clear("/test/log"));
  auto pages = processesOf("WebKitWebProcess", session.home.path());
  ASSERT_FALSE(pages.empty());
  for (int pid : pages) {
    ::kill(pid, SIGKILL);
  }
  EXPECT_TRUE(session.waitText("Tarnwick voice stopped unexpectedly. Reopening\u2026", 10s));
  ASSERT_FALSE(connector.waitLog(loaded("/")).empty()) << "the interface did not return";
  ASSERT_TRUE(session.quit()) << "Quit did not end the shell with 0";

  // Again beside a Connector of another version: it is stopped, the bundle's own serves the
  // cookie again. The shell is root in its namespace, whose password is "right-password".
  running.terminate();
  Process stale(TARNWICK_CONNECTOR_EXECUTABLE, {"--version", "0.0.1-stale"});
  ASSERT_TRUE(waitUntil([&] { return connector.server() == "TarnwickDesktop/0.0.1-stale"; }, 20s));
  const auto passdb = (session.home.path() / "passdb").string();
  writeFile(passdb, "root:right-password:tarnwick\n");
  fs::create_directories(session.home.path() / "pam.d");
  writeFile(session.home.path() / "pam.d/tarnwick",
            "auth required " + matrix + " passdb=" + passdb + "\naccount required " + matrix +
                " passdb=" + passdb + "\n");
  auto pam = namespaced({(session.home.path() / "pam.d").string(), "/etc/pam.d"});
  if (getuid() != 0) {
    pam.insert(pam.begin() + 1, "--map-root-user");
  }
  ASSERT_TRUE(session.launch({}, pam));
  EXPECT_EQ(stale.wait(30s), 0) << "the stale Connector was not stopped";
  ASSERT_FALSE(connector.waitLog(loaded("/"), 45s).empty());
  EXPECT_TRUE(titled("Tarnwick " + version));
  auto first = session.connectors();
  ASSERT_EQ(first.size(), 1U);
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(first[0]) + "/exe"),
            app.parent_path().parent_path() /
                "Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector");
  EXPECT_NE(connector.get("/test/requests").dump().find("tarnwick-session=kept"),
            std::string::npos);

  // Each unlock request of the interface gets a prompt answered as the person answers; a frame's
  // none.
  auto unlock = [&](const std::string& id) {
    return connector.post("/test/command",
                          {{"action", "act"}, {"query", "do=unlock&request_id=" + id}});
  };
  // A password, then keys; Tab reaches "Cancel".
  for (const auto& [id, password, keys, ok] :
       std::vector<std::tuple<std::string, std::string, Lines, bool>>{
           {"unlock-right-0001", "right-password", {"Return"}, true},
           {"unlock-wrong-0002", "wrong-password", {"Return"}, false},
           {"unlock-escape-0003", "right-pass", {"Escape"}, false},
           {"unlock-cancel-0004", "right-password", {"Tab", "space"}, false}}) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(connector.clear("/test/log") && unlock(id));
    auto prompt = session.waitSheet();
    ASSERT_TRUE(prompt) << "no prompt";
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(connector.waitLog({{"event", "unlock-reply"}}, 0s).empty()) << "answered early";
    Lines typed{"key"};
    for (char c : password) {
      typed.push_back(c == '-' ? "minus" : std::string(1, c));
    }
    typed.insert(typed.end(), keys.begin(), keys.end());
    session.input(*prompt, typed);
    Json reply = {{"event", "unlock-reply"}, {"detail", {{"request_id", id}, {"ok", ok}}}};
    EXPECT_FALSE(connector.waitLog(reply, 20s).empty()) << connector.get("/test/log").dump();
    EXPECT_TRUE(waitUntil([&] { return !session.waitSheet(0s); }, 10s));
  }
  ASSERT_TRUE(go(local + "/test/frame?do=unlock&request_id=unlock-frame-0007", "/test/frame"));
  ASSERT_FALSE(connector.waitLog({{"event", "unlock-sent"}, {"sent", true}}).empty());
  EXPECT_FALSE(session.waitSheet(3s)) << "a frame got a prompt";
  EXPECT_TRUE(connector.waitLog({{"event", "unlock-reply"}}, 0s).empty());

  // A Connector killed while a page loads: the failed load brings a new one and the interface.
  ASSERT_TRUE(connector.navigate(local + "/test/slow?ms=8000"));
  std::this_thread::sleep_for(1500ms);
  ::kill(first[0], SIGKILL);
  ASSERT_FALSE(connector.waitLog(loaded("/"), 45s).empty()) << "no new Connector";
  auto second = session.connectors();
  EXPECT_TRUE(second.size() == 1U && second[0] != first[0]);
  EXPECT_TRUE(session.quit());
}

}  // namespace
}  // namespace tarnwick::e2e
