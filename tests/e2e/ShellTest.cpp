// Start and page duties in one session of the real bundle: the window and its status page, the
// interface and the title it names, the menu, the sheets, panels and links the shell gives the
// interface and no other frame, paste, the cookie jar, a dead content process; then a second start
// that replaces a stale Connector with the bundle's own, and a reload after that one is killed.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

const std::string other = "http://127.0.0.1:8767";

// Makes a recorder the home's default application for `scheme`; it writes each URL to a file.
fs::path recordOpened(const fs::path& home, const std::string& scheme) {
  auto record = home / ("opened-" + scheme), script = home / ("record-" + scheme);
  writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + record.string() + "'\n");
  fs::permissions(script, fs::perms::owner_all);
  fs::create_directories(home / ".local/share/applications");
  writeFile(home / ".local/share/applications" / ("record-" + scheme + ".desktop"),
            "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + script.string() +
                " %u\nMimeType=x-scheme-handler/" + scheme + ";\n");
  fs::create_directories(home / ".config");
  writeFile(home / ".config/mimeapps.list", readFile(home / ".config/mimeapps.list") +
                                                "[Default Applications]\nx-scheme-handler/" +
                                                scheme + "=record-" + scheme + ".desktop\n");
  return record;
}

TEST(Shell, ShowsTheInterfaceAndServesOnlyItsTrustedFrames) {
  StandIn connector;
  ASSERT_FALSE(connector.server()) << "something already listens on 127.0.0.1:8766";
  // A Connector of this version already running, with an interface from the channel on two
  // origins, whose first two answers take 1.5 s each: long enough to read the connecting page.
  Process running(TARNWICK_CONNECTOR_EXECUTABLE,
                  {"--version", version, "--client-source", "channel", "--interface-version",
                   "2026.12.1", "--extra-port", "8767"});
  ASSERT_TRUE(waitUntil([&] { return connector.server().has_value(); }, 20s));
  ASSERT_TRUE(connector.post("/test/hold-interface", {{"count", 2}, {"ms", 1500}}));
  Session session(true);
  auto web = recordOpened(session.home.path(), "https");
  auto mail = recordOpened(session.home.path(), "mailto");
  auto& screen = *session.screen;
  auto title = [&] {
    for (const auto& window : screen.windows()) {
      if (window.id == session.main.id) {
        return window.title;
      }
    }
    return std::string();
  };

  ASSERT_TRUE(session.launch());
  EXPECT_EQ(session.main.width, 1080);
  EXPECT_EQ(session.main.height, 780);
  EXPECT_EQ(session.main.x, (1280 - 1080) / 2);
  EXPECT_EQ(session.main.y, (900 - 780) / 2);
  EXPECT_TRUE(session.waitText("Connecting to Tarnwick\u2026", 10s))
      << ::testing::PrintToString(session.texts());
  ASSERT_FALSE(connector.waitLog(loaded("/"), 30s).empty()) << "the interface never loaded";
  EXPECT_TRUE(waitUntil([&] { return title() == "Tarnwick \u00b7 Interface 2026.12.1"; }, 10s))
      << title();
  EXPECT_TRUE(session.connectors().empty()) << "a healthy Connector was started again";

  // The menu over the page; once it closes, the page shows again where it was.
  std::this_thread::sleep_for(1s);
  auto page = [&] { return screen.capture(session.main.x, session.main.y + 40, 400, 300); };
  auto before = page();
  screen.focus(session.main.id);
  screen.click(session.main.x + 20, session.main.y + 12);
  ASSERT_TRUE(screen.waitFor([](const Window& window) {
    return window.popup && window.height > 40;
  })) << "the menu did not open";
  std::this_thread::sleep_for(300ms);
  EXPECT_NE(page(), before) << "the menu did not cover the page";
  screen.key("Escape");
  EXPECT_TRUE(waitUntil([&] { return page() == before; }, 5s)) << "not repainted";

  auto go = [&](const std::string& url, const std::string& path) {
    return connector.clear("/test/log") && connector.navigate(url) &&
           !connector.waitLog(loaded(path)).empty();
  };
  auto dialog = [&] {
    auto found = connector.waitLog({{"event", "dialog"}});
    return found.empty() ? Json() : found.front();
  };
  // The interface's dialogs are sheets on the window, and the page waits for the answer.
  struct Trusted {
    std::string action, key;
    Json result;
  };
  for (const auto& [action, key, result] : std::vector<Trusted>{{"alert", "Return", nullptr},
                                                                {"confirm", "Return", true},
                                                                {"confirm", "Escape", false}}) {
    SCOPED_TRACE(action + " answered with " + key);
    ASSERT_TRUE(
        go(local + "/test/act?do=" + action + "&message=" + escaped("Import the new statements?"),
           "/test/act"));
    auto sheet = session.waitSheet();
    ASSERT_TRUE(sheet) << "no sheet";
    EXPECT_EQ(sheet->title, "Tarnwick");
    auto texts = session.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "text: Import the new statements?"),
              texts.end());
    EXPECT_TRUE(connector.waitLog({{"event", "dialog"}}, 100ms).empty()) << "the page went on";
    session.press(*sheet, key);
    EXPECT_EQ(dialog()["result"], result);
    EXPECT_TRUE(waitUntil([&] { return session.sheets().empty(); }, 5s));
  }
  // Any other frame or origin gets no sheet, and its confirm is false at once.
  const std::string ask = "do=confirm&message=" + escaped("Can I see your accounts?");
  struct Untrusted {
    std::string name, url, path;
  };
  for (const auto& [name, url, path] : std::vector<Untrusted>{
           {"a srcdoc frame", local + "/test/frame?" + ask, "/test/frame"},
           {"a frame of another origin",
            local + "/test/frame?child=" + escaped(other + "/test/act?" + ask), "/test/frame"},
           {"a frame borrowing the confirm of a frame it makes",
            local + "/test/frame?child=" + escaped(other + "/test/act?via=fresh-frame&" + ask),
            "/test/frame"},
           {"a page under localhost", "http://localhost:8766/test/act?" + ask, "/test/act"},
           {"a page on another port", other + "/test/act?" + ask, "/test/act"}}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(go(url, path));
    auto answer = dialog();
    EXPECT_EQ(answer["result"], false);
    EXPECT_LT(answer.value("elapsed", 1e9), 1000.0) << "the page waited";
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(session.sheets().empty()) << "a sheet appeared";
  }

  // A file input of the interface opens a panel on the window; one in another origin's frame not.
  ASSERT_TRUE(go(local + "/test/file", "/test/file"));
  session.clickContent(540, 300);
  auto panel = session.waitSheet();
  ASSERT_TRUE(panel) << "no open panel";
  session.press(*panel, "Escape");
  EXPECT_TRUE(waitUntil([&] { return session.sheets().empty(); }, 10s));
  EXPECT_TRUE(connector.waitLog({{"event", "file-change"}}, 1s).empty());
  ASSERT_TRUE(go(local + "/test/frame?child=" + escaped(other + "/test/file"), "/test/frame"));
  ASSERT_FALSE(connector.waitLog({{"event", "loaded"}, {"path", "/test/file"}}).empty());
  session.clickContent(200, 200);
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(session.sheets().empty()) << "a frame opened a panel";

  // A link for a new window goes to the default browser, a mail link nowhere; the page stays.
  const std::string outside = "https://tarnwick.invalid/outside?from=link";
  ASSERT_TRUE(go(local + "/test/links?web=" + escaped(outside), "/test/links"));
  session.clickContent(540, 150);
  EXPECT_TRUE(waitUntil([&] { return readFile(web) == outside + "\n"; }, 15s)) << readFile(web);
  session.clickContent(540, 550);
  ASSERT_FALSE(connector.waitLog({{"event", "click"}, {"id", "mail"}}, 10s).empty());
  std::this_thread::sleep_for(2s);
  EXPECT_FALSE(fs::exists(mail)) << "the mail link was opened";
  EXPECT_EQ(connector.waitLog({{"event", "loaded"}}, 0s).size(), 1U) << "the window left its page";

  // Paste replaces the selection with the clipboard's text in one input event; a read-only
  // field keeps its value.
  struct Paste {
    std::string field, text;
  };
  for (const auto& [field, text] : std::vector<Paste>{
           {"textarea",
            "He said \"hi\" \\ 'there' </script><script>alert(1)</script>\n\ttabbed \\n"},
           {"readonly", "never"}}) {
    SCOPED_TRACE(field);
    writeFile(session.home.path() / "clipboard", text);
    Process holder(
        "/usr/bin/xclip",
        {"-quiet", "-selection", "clipboard", "-i", (session.home.path() / "clipboard").string()},
        session.environment("xclip"));
    ASSERT_TRUE(waitUntil(
        [&] {
          return runCommand("/usr/bin/xclip", {"-o", "-selection", "clipboard"},
                            session.environment("xclip-out"), 5s)
                     .output == text;
        },
        10s));
    ASSERT_TRUE(go(local + "/test/paste?field=" + field + "&value=" + escaped("Hello world") +
                       "&start=6&end=11",
                   "/test/paste"));
    ASSERT_FALSE(connector.waitLog({{"event", "paste-ready"}}, 10s).empty());
    session.press(session.main, "v", {"Control_L"});
    std::this_thread::sleep_for(2s);
    auto inputs = connector.waitLog({{"event", "input"}}, field == "readonly" ? 0s : 10s);
    if (field == "readonly") {
      EXPECT_TRUE(inputs.empty());
      ASSERT_TRUE(connector.post("/test/command", {{"action", "report"}}));
      auto report = connector.waitLog({{"event", "report"}}, 10s);
      ASSERT_FALSE(report.empty());
      EXPECT_EQ(report[0]["fields"]["field"], "Hello world");
      continue;
    }
    ASSERT_EQ(inputs.size(), 1U) << "not one input event";
    EXPECT_EQ(inputs[0]["inputType"], "insertFromPaste");
    EXPECT_EQ(inputs[0]["data"], text);
    EXPECT_EQ(inputs[0]["value"], "Hello " + text);
    EXPECT_EQ(inputs[0]["selectionStart"], 6 + text.size());
    EXPECT_EQ(inputs[0]["selectionEnd"], 6 + text.size());
  }

  // A cookie the interface sets, kept for the next start.
  ASSERT_TRUE(go(local + "/test/cookie", "/"));
  // A dead content process: the reopening page, then the interface again.
  ASSERT_TRUE(connector.post("/test/hold-interface", {{"count", 2}, {"ms", 1500}}));
  ASSERT_TRUE(connector.clear("/test/log"));
  auto pages = processesOf("WebKitWebProcess", session.home.path());
  ASSERT_FALSE(pages.empty());
  for (int pid : pages) {
    ::kill(pid, SIGKILL);
  }
  EXPECT_TRUE(session.waitText("Tarnwick voice stopped unexpectedly. Reopening\u2026", 10s));
  ASSERT_FALSE(connector.waitLog(loaded("/")).empty()) << "the interface did not return";
  ASSERT_TRUE(session.quit()) << "Quit did not end the shell with 0";

  // Started again while a Connector of another version listens: that one is stopped, and the
  // bundle's own Connector serves the interface, which gets the cookie again.
  running.terminate();
  Process stale(TARNWICK_CONNECTOR_EXECUTABLE, {"--version", "0.0.1-stale"});
  ASSERT_TRUE(waitUntil([&] { return connector.server() == "TarnwickDesktop/0.0.1-stale"; }, 20s));
  ASSERT_TRUE(session.launch());
  EXPECT_EQ(stale.wait(30s), 0) << "the stale Connector was not stopped";
  ASSERT_FALSE(connector.waitLog(loaded("/"), 45s).empty());
  EXPECT_EQ(connector.server(), "TarnwickDesktop/" + version);
  EXPECT_TRUE(waitUntil([&] { return title() == "Tarnwick " + version; }, 10s)) << title();
  auto first = session.connectors();
  ASSERT_EQ(first.size(), 1U);
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(first[0]) + "/exe"),
            app.parent_path().parent_path() /
                "Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector");
  auto requests = connector.get("/test/requests");
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const Json& request) {
    return request["headers"].value("Cookie", "").find("tarnwick-session=kept") !=
           std::string::npos;
  })) << requests.dump();

  // Reload brings back a Connector that was killed.
  ::kill(first[0], SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return !connector.server(); }, 5s));
  session.press(session.main, "r", {"Control_L"});
  ASSERT_FALSE(connector.waitLog(loaded("/"), 45s).empty()) << "Reload did not bring it back";
  auto second = session.connectors();
  ASSERT_EQ(second.size(), 1U);
  EXPECT_NE(second[0], first[0]);
  EXPECT_TRUE(session.quit());
}

}  // namespace
}  // namespace tarnwick::e2e
