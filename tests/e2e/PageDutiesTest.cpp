// What the shell does for the page, end to end: sheets for the local interface's dialogs and
// nothing for any other frame or origin, links that want a new window, and paste. The bundle's
// Connector serves the interface; a second stand-in on another port is the other origin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "Harness.h"
#include "ShellSession.h"
#include "StandIn.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int otherPort = 8767;
const std::string local = "http://127.0.0.1:8766";
const std::string other = "http://127.0.0.1:" + std::to_string(otherPort);

class PageDutiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ConnectorClient().answers()) << "something already listens on 127.0.0.1:8766";
    ASSERT_TRUE(session_.ready());
    ASSERT_TRUE(session_.launch());
    window_ = session_.waitForMainWindow();
    ASSERT_TRUE(window_);
    ASSERT_TRUE(local_.waitForLog(logEntryWith({{"event", "loaded"}, {"path", "/"}}), 45s))
        << "the interface never loaded";
  }

  // Has the top-level page, served by `from`, go to `url`, and waits until the page of `to`
  // reports that it loaded `path`.
  bool navigate(ConnectorClient& from, const std::string& url, ConnectorClient& to,
                const std::string& path) {
    other_.clearLog();  // the other origin may not be serving
    if (!local_.clearLog() || !from.navigate(url)) {
      return false;
    }
    return to.waitForLog(logEntryWith({{"event", "loaded"}, {"path", path}, {"isTop", true}}), 30s)
        .has_value();
  }

  std::optional<Json> dialogResult(ConnectorClient& client) {
    auto found = client.waitForLog(logEntryWith({{"event", "dialog"}}), 30s);
    if (!found) {
      return std::nullopt;
    }
    return found->front();
  }

  ShellSession session_;
  std::optional<WindowInfo> window_;
  ConnectorClient local_{8766};
  ConnectorClient other_{otherPort};
};

// --- Dialogs ---

TEST_F(PageDutiesTest, TheInterfacesAlertAndConfirmShowSheetsAndReturnTheAnswers) {
  struct Case {
    std::string action;
    std::string message;
    std::string key;
    Json result;
    std::string screenshot;
  };
  const std::vector<Case> cases = {
      {"alert", "Your statements are ready.", "Return", nullptr, "page-duties-alert"},
      {"confirm", "Allow Full Access to your accounts?", "Return", true,
       "page-duties-confirm-full-access"},
      {"confirm", "Allow full access to your accounts?", "Escape", false, ""},
      {"confirm", "Import the new statements?", "Return", true, "page-duties-confirm-continue"},
      {"confirm", "Import the new statements?", "Escape", false, ""},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.action + ": " + testCase.message + " / " + testCase.key);
    ASSERT_TRUE(navigate(
        local_,
        local + "/test/act?do=" + testCase.action + "&message=" + percentEncoded(testCase.message),
        local_, "/test/act"));
    auto sheet = session_.waitForSheet();
    ASSERT_TRUE(sheet) << "no sheet";
    EXPECT_EQ(sheet->title, "Tarnwick");
    EXPECT_EQ(sheet->transientFor, window_->id);
    if (!testCase.screenshot.empty()) {
      session_.screenshot(testCase.screenshot);
    }
    // The page waits for the answer.
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(local_.waitForLog(logEntryWith({{"event", "dialog"}}), 100ms));
    ASSERT_TRUE(session_.pressKey(*sheet, testCase.key));
    auto result = dialogResult(local_);
    ASSERT_TRUE(result);
    EXPECT_EQ((*result)["result"], testCase.result);
    EXPECT_TRUE(waitUntil([&] { return session_.sheets().empty(); }, 5s));
    // Back to the interface for the next case.
    ASSERT_TRUE(navigate(local_, local + "/", local_, "/"));
  }
}

TEST_F(PageDutiesTest, DialogsFromFramesAndOtherOriginsShowNothingAndReturnAtOnce) {
  StandInConnector otherOrigin({.port = otherPort});
  ASSERT_TRUE(otherOrigin.ready());
  struct Case {
    std::string name;
    std::string url;     // loaded in the window from the interface
    std::string path;    // the top-level page's path, as it reports it
    bool topIsOther;     // the top-level page is served by the other origin
    bool dialogIsOther;  // the dialog's frame reports to the other origin
  };
  auto act = [](const std::string& action, const std::string& via = "direct") {
    return "do=" + action + "&message=" + percentEncoded("Can I see your accounts?") +
           "&via=" + via;
  };
  const std::vector<Case> cases = {
      {"alert from a srcdoc iframe", local + "/test/frame?" + act("alert"), "/test/frame", false,
       false},
      {"confirm from a srcdoc iframe", local + "/test/frame?" + act("confirm"), "/test/frame",
       false, false},
      {"alert from a cross-origin iframe",
       local + "/test/frame?child=" + percentEncoded(other + "/test/act?" + act("alert")),
       "/test/frame", false, true},
      {"alert from a page under localhost", "http://localhost:8766/test/act?" + act("alert"),
       "/test/act", false, false},
      {"confirm from a page on another port", other + "/test/act?" + act("confirm"), "/test/act",
       true, true},
      {"an iframe borrowing the alert of a frame it makes",
       local + "/test/frame?child=" +
           percentEncoded(other + "/test/act?" + act("alert", "fresh-frame")),
       "/test/frame", false, true},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    ASSERT_TRUE(
        navigate(local_, testCase.url, testCase.topIsOther ? other_ : local_, testCase.path));
    auto& dialogs = testCase.dialogIsOther ? other_ : local_;
    auto result = dialogResult(dialogs);
    ASSERT_TRUE(result);
    EXPECT_TRUE(session_.sheets().empty()) << "a sheet appeared";
    EXPECT_LT((*result)["elapsed"].get<double>(), 1000.0) << "the page waited";
    if ((*result)["kind"] == "confirm") {
      EXPECT_EQ((*result)["result"], false);
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(session_.sheets().empty()) << "a sheet appeared";
    ASSERT_TRUE(navigate(testCase.topIsOther ? other_ : local_, local + "/", local_, "/"));
  }

  // The engine keeps alert on each window, so a frame finds no other one to borrow.
  ASSERT_TRUE(navigate(local_,
                       local + "/test/frame?child=" +
                           percentEncoded(other + "/test/act?" + act("alert", "prototype")),
                       local_, "/test/frame"));
  auto borrowed = dialogResult(other_);
  ASSERT_TRUE(borrowed);
  EXPECT_EQ((*borrowed)["unavailable"], true);
  EXPECT_TRUE(session_.sheets().empty());
  session_.screenshot("page-duties-untrusted-frames");
}

// --- Repainting what a menu or sheet covered ---

// The pixels of `area` within the web view, from a capture of the whole web view `content`.
std::vector<Pixel> part(const std::vector<Pixel>& capture, const ShellSession::Rectangle& content,
                        const ShellSession::Rectangle& area) {
  std::vector<Pixel> pixels;
  for (int y = area.y; y < area.y + area.height; ++y) {
    for (int x = area.x; x < area.x + area.width; ++x) {
      pixels.push_back(
          capture[static_cast<std::size_t>((y - content.y) * content.width + (x - content.x))]);
    }
  }
  return pixels;
}

bool samePixels(const std::vector<Pixel>& one, const std::vector<Pixel>& another) {
  return one.size() == another.size() &&
         std::equal(one.begin(), one.end(), another.begin(), [](const Pixel& a, const Pixel& b) {
           return std::abs(a.red - b.red) <= 2 && std::abs(a.green - b.green) <= 2 &&
                  std::abs(a.blue - b.blue) <= 2;
         });
}

// Once `cover` is gone, the web view under it shows what `before` held there again. `covered`,
// taken while it was up, shows that there was something to repaint.
void expectRepaintedUnder(ShellSession& session, const std::vector<Pixel>& before,
                          const std::vector<Pixel>& covered, const WindowInfo& cover) {
  auto content = *session.content();
  ShellSession::Rectangle area{std::max(cover.x, content.x), std::max(cover.y, content.y), 0, 0};
  area.width = std::min(cover.x + cover.width, content.x + content.width) - area.x;
  area.height = std::min(cover.y + cover.height, content.y + content.height) - area.y;
  ASSERT_GT(area.width * area.height, 1000) << "it hardly covered the page";
  auto expected = part(before, content, area);
  ASSERT_FALSE(samePixels(part(covered, content, area), expected)) << "it did not show over it";
  EXPECT_TRUE(waitUntil(
      [&] {
        return samePixels(session.screen().capture(area.x, area.y, area.width, area.height),
                          expected);
      },
      5s, 200ms))
      << "the rectangle it covered was not repainted";
}

bool unmapped(ShellSession& session, unsigned long id) {
  auto windows = session.screen().topLevelWindows();
  return std::none_of(windows.begin(), windows.end(),
                      [&](const WindowInfo& window) { return window.id == id && window.viewable; });
}

TEST_F(PageDutiesTest, WhatTheMenuOrAnAlertCoveredIsRepaintedOnceItCloses) {
  auto content = session_.content();
  ASSERT_TRUE(content);
  auto capture = [&] {
    return session_.screen().capture(content->x, content->y, content->width, content->height);
  };
  std::this_thread::sleep_for(1s);  // the interface settled
  auto before = capture();

  auto menu = session_.openApplicationMenu();
  ASSERT_TRUE(menu) << "the menu did not open";
  std::this_thread::sleep_for(300ms);
  auto covered = capture();
  ASSERT_TRUE(session_.screen().pressKey("Escape"));
  ASSERT_TRUE(waitUntil([&] { return unmapped(session_, menu->id); }, 5s));
  expectRepaintedUnder(session_, before, covered, *menu);
  session_.screenshot("page-duties-menu-closed");

  // An alert four seconds after its page loaded: time to take the page as it was, once it shows.
  auto interface = before;
  ASSERT_TRUE(navigate(local_, local + "/test/act?do=alert&delay=4000&message=Ready.", local_,
                       "/test/act"));
  ASSERT_TRUE(waitUntil(
      [&] {
        before = capture();
        std::this_thread::sleep_for(300ms);
        return !samePixels(before, interface) && samePixels(before, capture());
      },
      3s));
  auto sheet = session_.waitForSheet();
  ASSERT_TRUE(sheet) << "no sheet";
  std::this_thread::sleep_for(300ms);
  covered = capture();
  ASSERT_TRUE(session_.pressKey(*sheet, "Return"));
  ASSERT_TRUE(dialogResult(local_));
  ASSERT_TRUE(waitUntil([&] { return unmapped(session_, sheet->id); }, 5s));
  expectRepaintedUnder(session_, before, covered, *sheet);
  session_.screenshot("page-duties-alert-answered");
}

// --- Open panel ---

TEST_F(PageDutiesTest, TheInterfacesFileInputOpensAPanelAndAnIframesDoesNot) {
  StandInConnector otherOrigin({.port = otherPort});
  ASSERT_TRUE(otherOrigin.ready());
  ASSERT_TRUE(navigate(local_, local + "/test/file", local_, "/test/file"));
  auto area = session_.content();
  ASSERT_TRUE(area);
  ASSERT_TRUE(session_.clickInContent(area->width / 2, area->height / 2));
  auto panel = session_.waitForSheet();
  ASSERT_TRUE(panel) << "no open panel";
  EXPECT_EQ(panel->transientFor, window_->id);
  session_.screenshot("page-duties-open-panel");
  ASSERT_TRUE(session_.pressKey(*panel, "Escape"));
  EXPECT_TRUE(waitUntil([&] { return session_.sheets().empty(); }, 10s));
  EXPECT_FALSE(local_.waitForLog(logEntryWith({{"event", "file-change"}}), 1s));

  // The same input in a frame of another origin.
  ASSERT_TRUE(navigate(local_, local + "/test/frame?child=" + percentEncoded(other + "/test/file"),
                       local_, "/test/frame"));
  ASSERT_TRUE(other_.waitForLog(logEntryWith({{"event", "loaded"}, {"path", "/test/file"}}), 15s));
  ASSERT_TRUE(session_.clickInContent(200, 200));
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(session_.sheets().empty()) << "an iframe opened a panel";
}

// --- Links that want a new window ---

// A private default handler for a URL scheme that writes each URL it gets to a file.
fs::path registerRecorder(const fs::path& home, const std::string& scheme) {
  auto record = home / ("opened-" + scheme + ".txt");
  auto script = home / ("record-" + scheme + ".sh");
  std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << record.string() << "'\n";
  fs::permissions(script, fs::perms::owner_all);
  auto applications = home / ".local/share/applications";
  fs::create_directories(applications);
  std::ofstream(applications / ("tarnwick-test-" + scheme + ".desktop"))
      << "[Desktop Entry]\nType=Application\nName=Recorder for " << scheme
      << "\nExec=" << script.string() << " %u\nNoDisplay=true\nMimeType=x-scheme-handler/" << scheme
      << ";\n";
  auto config = home / ".config";
  fs::create_directories(config);
  std::ofstream(config / "mimeapps.list", std::ios::app)
      << "[Default Applications]\nx-scheme-handler/" << scheme << "=tarnwick-test-" << scheme
      << ".desktop\n";
  return record;
}

TEST_F(PageDutiesTest, ABlankTargetWebLinkGoesToTheBrowserAndAMailLinkNowhere) {
  auto web = registerRecorder(session_.home(), "https");
  auto mail = registerRecorder(session_.home(), "mailto");
  const std::string outside = "https://tarnwick.invalid/outside?from=link";
  ASSERT_TRUE(navigate(local_, local + "/test/links?web=" + percentEncoded(outside), local_,
                       "/test/links"));
  auto area = session_.content();
  ASSERT_TRUE(area);

  ASSERT_TRUE(session_.clickInContent(area->width / 2, area->height / 4));
  ASSERT_TRUE(local_.waitForLog(logEntryWith({{"event", "click"}, {"id", "web"}}), 10s));
  EXPECT_TRUE(waitUntil([&] { return readFile(web) == outside + "\n"; }, 15s))
      << "the browser got: " << readFile(web);

  ASSERT_TRUE(session_.clickInContent(area->width / 2, area->height * 3 / 4));
  ASSERT_TRUE(local_.waitForLog(logEntryWith({{"event", "click"}, {"id", "mail"}}), 10s));
  std::this_thread::sleep_for(2s);
  EXPECT_FALSE(fs::exists(mail)) << "the mail link was opened: " << readFile(mail);
  EXPECT_EQ(readFile(web), outside + "\n");
  // The window kept its page: nothing else loaded.
  auto loaded = local_.waitForLog(logEntryWith({{"event", "loaded"}}), 100ms);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->size(), 1U);
  session_.screenshot("page-duties-links");
}

// --- Paste ---

// Holds the clipboard with `text` until the object goes.
class Clipboard {
 public:
  Clipboard(ShellSession& session, const std::string& text) {
    file_ = session.home() / "clipboard.txt";
    std::ofstream(file_, std::ios::binary) << text;
    auto options = session.environment("xclip");
    holder_ = std::make_unique<Process>(
        "/usr/bin/xclip",
        std::vector<std::string>{"-quiet", "-selection", "clipboard", "-i", file_.string()},
        options);
    auto check = session.environment("xclip-out");
    ready_ = waitUntil(
        [&] {
          return runCommand("/usr/bin/xclip", {"-o", "-selection", "clipboard"}, check, 5s)
                     .output == text;
        },
        10s, 100ms);
  }
  bool ready() const { return ready_; }

 private:
  fs::path file_;
  std::unique_ptr<Process> holder_;
  bool ready_ = false;
};

TEST_F(PageDutiesTest, PasteReplacesTheSelectionWithOneInputEventAndLeavesReadOnlyFieldsAlone) {
  struct Case {
    std::string name;
    std::string field;
    std::string text;
    bool changes;
  };
  const std::vector<Case> cases = {
      {"quotes, backslashes and a closing script tag", "input",
       "He said \"hi\" \\ 'there' </script><script>alert(1)</script>", true},
      {"line breaks in a text area", "textarea", "line one\nline two\n\ttabbed \\n not a break",
       true},
      {"a read-only field", "readonly", "never", false},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    Clipboard clipboard(session_, testCase.text);
    ASSERT_TRUE(clipboard.ready()) << "could not set the clipboard";
    ASSERT_TRUE(navigate(local_,
                         local + "/test/paste?field=" + testCase.field +
                             "&value=" + percentEncoded("Hello world") + "&start=6&end=11",
                         local_, "/test/paste"));
    auto ready = local_.waitForLog(logEntryWith({{"event", "paste-ready"}}), 10s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->front()["selectionStart"], 6);
    EXPECT_EQ(ready->front()["selectionEnd"], 11);

    ASSERT_TRUE(session_.pressKey(*window_, "v", {"Control_L"}));
    if (testCase.changes) {
      auto inputs = local_.waitForLog(logEntryWith({{"event", "input"}}), 10s);
      ASSERT_TRUE(inputs) << "no input event";
      std::this_thread::sleep_for(1s);
      inputs = local_.waitForLog(logEntryWith({{"event", "input"}}), 1s);
      ASSERT_TRUE(inputs);
      ASSERT_EQ(inputs->size(), 1U) << "more than one input event";
      const auto& input = inputs->front();
      EXPECT_EQ(input["inputType"], "insertFromPaste");
      EXPECT_EQ(input["data"], testCase.text);
      EXPECT_EQ(input["value"], "Hello " + testCase.text);
      auto caret = static_cast<int>(6 + testCase.text.size());
      EXPECT_EQ(input["selectionStart"], caret);
      EXPECT_EQ(input["selectionEnd"], caret);
      if (testCase.field == "input") {
        session_.screenshot("page-duties-paste");
      }
    } else {
      std::this_thread::sleep_for(2s);
      EXPECT_FALSE(local_.waitForLog(logEntryWith({{"event", "input"}}), 100ms));
      ASSERT_TRUE(local_.command({{"action", "report"}}));
      auto report = local_.waitForLog(logEntryWith({{"event", "report"}}), 10s);
      ASSERT_TRUE(report);
      EXPECT_EQ(report->front()["fields"]["field"], "Hello world");
    }
    ASSERT_TRUE(navigate(local_, local + "/", local_, "/"));
  }
}

}  // namespace
}  // namespace tarnwick::e2e
