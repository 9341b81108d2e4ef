// Start-up, the delegate's state, launch, the status page, the menu and the web view's duties.
#include <sstream>

#include "Shell.h"
#include "app/Main.h"
#include "app/PasteScript.h"

namespace tarnwick::testing_support {
namespace {

using platform::FileList;
using platform::FrameInfo;
using platform::SecurityOrigin;

struct Startup final : app::Startup {
  std::optional<std::int32_t> runSupportControlIfRequested() override {
    return log("support", support);
  }
  bool claimVisibleInstance() override { return log("claim", claimed); }
  void activateExistingInstance() override { log("activate", 0); }
  int runApplication() override { return log("application", 7); }
  template <typename T>
  T log(const char* step, T result) {
    calls += std::string(calls.empty() ? "" : " ") + step;
    return result;
  }
  std::optional<std::int32_t> support;
  bool claimed;
  std::string calls;
};

TEST(Main, SupportControlComesFirstThenTheLockThenTheApplication) {
  // support-control status ("" for none) | lock claimed | steps | printed | exit status
  for (const auto& row :
       rows("0|y|support|TARNWICK_CONTROL_OK\n|0;2|y|support|TARNWICK_CONTROL_DENIED\n|2;"
            "3|n|support|TARNWICK_CONTROL_DENIED\n|3;4|y|support|TARNWICK_CONTROL_DENIED\n|4;"
            "|n|support claim activate||0;|y|support claim application||7")) {
    auto cell = cells(row);
    Startup startup;
    startup.support = cell[0].empty() ? std::nullopt : std::optional(std::stoi(cell[0]));
    startup.claimed = cell[1] == "y";
    std::ostringstream out;
    auto status = app::runMain(startup, out);
    EXPECT_EQ(std::to_string(status) + "|" + startup.calls + "|" + out.str(),
              cell[4] + "|" + cell[2] + "|" + cell[3]);
  }
}

TEST(DelegateState, TheVersionIsTheBundlesStringOrZeroesAndSignsTheConnector) {
  using Row = std::pair<platform::InfoValue, std::string>;
  for (const auto& [value, version] :
       {Row{std::string("2.3.1"), "2.3.1"}, Row{{}, "0.0.0"}, Row{platform::InfoOther{}, "0.0.0"},
        Row{std::string(), ""}}) {
    fakes::FakePlatform platform;
    platform.bundle.info["CFBundleShortVersionString"] = value;
    auto delegate = platform.makeDelegate();
    EXPECT_EQ(delegate->currentVersion() + " " + delegate->connectorSignature(),
              version + " TarnwickDesktop/" + version);
  }
}

TEST(StatusPage, IsTheSixLinesAndTheMessageEscapedAmpersandFirst) {
  EXPECT_EQ(app::statusPageHTML("a < b & \"c\" > 'd'"),
            "<!doctype html><meta name=\"color-scheme\" content=\"dark\">\n<style>\n"
            "body{margin:0;background:#17191d;color:#f5f0e8;font:17px -apple-system;\n"
            "     display:grid;place-items:center;height:100vh}\n"
            "div{text-align:center}.brand{font:600 34px Georgia;color:#d3a55d;margin-bottom:18px}\n"
            "</style><div><div class=\"brand\">Tarnwick</div><div>a &lt; b &amp; \"c\" &gt; "
            "'d'</div></div>");
  EXPECT_EQ(app::escapeStatusMessage("&lt;"), "&amp;lt;") << "the ampersand first";
}

using Launch = Shell;

TEST_F(Launch, BuildsTheShellInOnePassThenChecksForUpdatesFiveSecondsLater) {
  launch();
  EXPECT_EQ(joined(platform.application.events, ", "),
            "regular, menu, web view, window 1080x780, min size 760x560, content, centre, front, "
            "activate ignoring");
  EXPECT_EQ(window().title(), "Tarnwick");
  EXPECT_EQ(page().configuration.scriptMessageHandlerNames,
            std::vector<std::string>{"tarnwickFinancialUnlock"});
  EXPECT_FALSE(page().configuration.drawsBackground);
  EXPECT_EQ(page().delegate.lock(), delegate);
  EXPECT_EQ(status(), app::statusPageHTML("Connecting to Tarnwick\u2026"));
  EXPECT_EQ(healthChecks(), 1);
  platform.mainQueue.advance(Seconds(4.99));
  EXPECT_EQ(platform.http.count(), 1U);
  platform.mainQueue.advance(Seconds(0.01));
  ASSERT_EQ(platform.http.count(), 2U);
  EXPECT_EQ(platform.http.request(1).url, "https://tarnwick.com/support/mac/latest.json");
}

TEST_F(Launch, ReopenBringsTheWindowBackAndConnectsOnlyWhenNothingIsLoaded) {
  launch();
  answer(healthy);
  platform.application.events.clear();
  EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
  EXPECT_EQ(joined(platform.application.events), "front activate ignoring");
  EXPECT_EQ(healthChecks(), 1);
  page().currentURL.reset();
  EXPECT_TRUE(delegate->applicationShouldHandleReopen(true));
  EXPECT_EQ(healthChecks(), 2);
}

// Each item as "title|modifiers+key|the standard action or the delegate's".
std::string items(const platform::Menu& menu) {
  static const char* standard[] = {"undo", "redo", "cut", "copy", "selectAll", "terminate"};
  std::string rows = menu.title;
  for (const auto& item : menu.items) {
    using platform::KeyModifier;
    rows += item.separator
                ? ", -"
                : ", " + item.title + "|" +
                      (contains(item.modifiers, KeyModifier::command) ? "cmd+" : "") +
                      (contains(item.modifiers, KeyModifier::shift) ? "shift+" : "") +
                      item.keyEquivalent + "|" +
                      (item.standardAction ? standard[static_cast<int>(*item.standardAction)]
                       : item.action       ? "delegate"
                                           : "none");
  }
  return rows;
}

TEST_F(Launch, TheMenuBarHoldsTheApplicationAndEditMenusWhoseActionsHoldTheDelegateWeakly) {
  launch();
  const auto& bar = platform.application.menuBar;
  ASSERT_EQ(bar.size(), 2U);
  EXPECT_EQ(items(bar[0]),
            ", Reload Tarnwick|cmd+r|delegate, Check for Updates\u2026||delegate, -, "
            "Quit Tarnwick|cmd+q|terminate");
  EXPECT_EQ(items(bar[1]),
            "Edit, Undo|cmd+z|undo, Redo|cmd+shift+z|redo, -, Cut|cmd+x|cut, Copy|cmd+c|copy, "
            "Paste|cmd+v|delegate, -, Select All|cmd+a|selectAll");
  // Reload begins a fresh series; the update check is manual and does not reconnect.
  for (int check = 0; check < 3; ++check) {
    answer(refused);
    platform.mainQueue.advance(Seconds(0.5));
  }
  bar[0].items[1].action();
  EXPECT_EQ(delegate->attempts(), 3);
  EXPECT_TRUE(delegate->updateCheckInProgress());
  bar[0].items[0].action();
  EXPECT_EQ(delegate->attempts(), 0);
  EXPECT_EQ(platform.http.unanswered(), 2U) << "the poll's check and reload's";
  EXPECT_EQ(page().pages.size(), 4U) << "reload leaves the page until a check decides";

  platform.pasteboard.text = "a\"b\\c\nd</script>\u00e9";
  bar[1].items[5].action();
  ASSERT_EQ(page().scripts.size(), 1U);
  EXPECT_EQ(page().scripts[0].first, *app::pasteScript(*platform.pasteboard.text));
  EXPECT_FALSE(page().scripts[0].second) << "run without waiting for it";
  platform.pasteboard.text.reset();  // only an image
  bar[1].items[5].action();
  EXPECT_EQ(page().scripts.size(), 1U);
}

TEST(PasteScript, CarriesTheTextAsAJsonArrayAndPastesAsInsertFromPaste) {
  auto script = app::pasteScript("a\"b\\c\nd</script>\u00e9");
  ASSERT_TRUE(script);
  EXPECT_TRUE(
      script->starts_with("(() => {\n  const text = [\"a\\\"b\\\\c\\nd</script>\u00e9\"][0];\n"
                          "  const element = document.activeElement;\n"));
  for (const char* step : {"if (element.disabled || element.readOnly) return false;",
                           "inputType: \"insertFromPaste\",\n        data: text",
                           "element.setSelectionRange(caret, caret);",
                           "return document.execCommand(\"insertText\", false, text);"}) {
    EXPECT_NE(script->find(step), std::string::npos) << step;
  }
  EXPECT_TRUE(script->ends_with("\n  return false;\n})()"));
  EXPECT_FALSE(app::pasteScript("\xff\xfe")) << "not UTF-8";
}

const SecurityOrigin connector{"http", "127.0.0.1", 8766};
const FrameInfo interfacePage{true, connector};

class WebViewDuties : public Shell {
 protected:
  WebViewDuties() {
    launch();
    answer(healthy);
  }
};

TEST_F(WebViewDuties, AFailedLoadShowsReconnectingAndPollsHalfASecondLaterOnAFreshBudget) {
  for (auto failure : {&app::TarnwickAppDelegate::webViewDidFailNavigation,
                       &app::TarnwickAppDelegate::webViewDidFailProvisionalNavigation}) {
    ((*delegate).*failure)();
    EXPECT_EQ(status(), app::statusPageHTML("Reconnecting to Tarnwick\u2026"));
    EXPECT_EQ(delegate->attempts(), 1);
    platform.mainQueue.advance(Seconds(0.49));
    EXPECT_EQ(platform.http.unanswered(), 0U);
    platform.mainQueue.advance(Seconds(0.01));
    EXPECT_EQ(answerAll(refused), 30) << "with the Connector down the series ends at the limit";
  }
}

TEST_F(WebViewDuties, AnEndedPageProcessShowsReopeningAndReconnectsAfterThreeQuarters) {
  delegate->pollConnector();
  delegate->webViewWebContentProcessDidTerminate();
  EXPECT_EQ(status(), app::statusPageHTML("Tarnwick voice stopped unexpectedly. Reopening\u2026"));
  EXPECT_EQ(delegate->attempts(), 0);
  platform.mainQueue.advance(Seconds(0.74));
  EXPECT_EQ(platform.http.unanswered(), 1U) << "the poll's check only";
  platform.mainQueue.advance(Seconds(0.01));
  EXPECT_EQ(platform.http.unanswered(), 2U);
  answer(healthy);
  EXPECT_EQ(page().requested.size(), 2U) << "the interface loads again";
}

TEST_F(WebViewDuties, PageDialogsAreSheetsThatThePageWaitsFor) {
  int alerts = 0;
  delegate->webViewRunJavaScriptAlert("Saved <b>&</b>", interfacePage, [&] { ++alerts; });
  EXPECT_EQ(sheet(), "Tarnwick|Saved <b>&</b>|informational|OK");
  EXPECT_EQ(alerts, 0);
  window().sheets[0].completion(std::nullopt);
  EXPECT_EQ(alerts, 1);
  // message | full-access request (the phrase in any case, as the locale folds it)
  for (const auto& row :
       rows("Give Tarnwick full access?|y;fUlL aCcEsS|y;Grant full accessibility|y;"
            "Remove this account?|n;full  access|n;full-access|n;full acc\xff|n")) {
    const auto message = cells(row)[0];
    std::string answers;
    for (std::optional<std::size_t> button : {std::optional<std::size_t>(0), {1}, {}}) {
      delegate->webViewRunJavaScriptConfirm(message, interfacePage,
                                            [&](bool yes) { answers += yes ? "y" : "n"; });
      EXPECT_EQ(sheet(), "Tarnwick|" + message +
                             (cells(row)[1] == "y" ? "|warning|Enable Full Access|Cancel"
                                                   : "|informational|Continue|Cancel"));
      window().sheets.back().completion(button);
    }
    EXPECT_EQ(answers, "ynn") << "only the first button confirms, once the sheet ends";
  }
  for (bool folders : {false, true}) {
    std::optional<FileList> received = FileList{"sentinel"};
    delegate->webViewRunOpenPanel({folders, !folders}, interfacePage,
                                  [&](std::optional<FileList> files) { received = files; });
    EXPECT_EQ(window().panels.back().first, folders ? "110" : "101");
    auto chosen = folders ? std::nullopt : std::optional(FileList{"/home/u/a b.csv"});
    window().panels.back().second(chosen);
    EXPECT_EQ(received, chosen);
  }
}

TEST_F(WebViewDuties, AnyOtherFrameGetsNoDialogNoPickerAndNoMediaAtOnce) {
  auto ask = [](app::TarnwickAppDelegate& asked, const FrameInfo& frame,
                const SecurityOrigin& origin) {
    std::string answers;
    asked.webViewRunJavaScriptAlert("hi", frame, [&] { answers += "alert"; });
    asked.webViewRunJavaScriptConfirm("full access?", frame,
                                      [&](bool yes) { answers += yes ? " yes" : " no"; });
    asked.webViewRunOpenPanel({true, true}, frame, [&](std::optional<FileList> files) {
      answers += files ? " files" : " none";  // nothing, not an empty list
    });
    asked.webViewRequestMediaCapturePermission(
        origin, frame, platform::MediaCaptureType::microphone,
        [&](bool yes) { answers += yes ? " media" : " no media"; });
    return answers;
  };
  for (const auto& frame : std::vector<FrameInfo>{{false, connector},
                                                  {true, {"https", "127.0.0.1", 8766}},
                                                  {true, {"http", "localhost", 8766}},
                                                  {true, {"http", "127.0.0.1", 8767}},
                                                  {true, {"HTTP", "127.0.0.1", 8766}}}) {
    EXPECT_EQ(ask(*delegate, frame, connector), "alert no none no media")
        << frame.origin.host << frame.origin.port;
  }
  EXPECT_TRUE(window().sheets.empty() && window().panels.empty());
  EXPECT_EQ(ask(*platform.makeDelegate(), interfacePage, connector), "alert no none media")
      << "no window yet";
  // Media goes to the Connector's page only for the Connector's own origin.
  for (const auto& origin : std::vector<SecurityOrigin>{{"https", "127.0.0.1", 8766},
                                                        {"http", "127.0.0.1", 8767},
                                                        {"http", "localhost", 8766}}) {
    std::optional<bool> granted;
    delegate->webViewRequestMediaCapturePermission(origin, interfacePage,
                                                   platform::MediaCaptureType::camera,
                                                   [&](bool yes) { granted = yes; });
    EXPECT_EQ(granted, false) << origin.protocol << origin.host << origin.port;
  }
}

TEST_F(WebViewDuties, NewWindowRequestsOpenOnlyWebLinksInTheBrowser) {
  for (const auto& url : rows("https://example.com/help?x=1;http://example.com/;mailto:a@b.c;"
                              "tarnwick://desktop-pair?code=1;httpx://example.com/;;%%")) {
    delegate->webViewCreateWebView({url});
  }
  delegate->webViewCreateWebView({});
  EXPECT_EQ(joined(platform.workspace.opened), "https://example.com/help?x=1 http://example.com/");
  EXPECT_EQ(page().requested.size() + page().pages.size(), 2U) << "the window keeps its page";
}

}  // namespace
}  // namespace tarnwick::testing_support
