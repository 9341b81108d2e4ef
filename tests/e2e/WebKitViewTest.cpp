// The WebKitGTK web view on a real engine under a private Xvfb: which events reach the delegate,
// with which frame, and what the page sees of the answers. The stand-in Connector serves the pages
// on the Connector's port and on a second one, so they come from two origins.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "Harness.h"
#include "LoopbackPort.h"
#include "StandIn.h"
#include "platform/linux/webview/WebKitView.h"

namespace tarnwick::e2e {
namespace {

using platform::FileList;
using platform::FrameInfo;
using platform::MediaCaptureType;
using platform::SecurityOrigin;
using platform::linux_desktop::WebKitView;

constexpr int otherPort = 8767;
const std::string local = "http://127.0.0.1:8766";
const std::string other = "http://127.0.0.1:" + std::to_string(otherPort);

const FrameInfo localMainFrame{true, {"http", "127.0.0.1", 8766}};
const FrameInfo untrustedFrame{};

// Runs GTK's loop until `condition` holds or `timeout` passes.
bool pumpUntil(const std::function<bool()>& condition, Clock::duration timeout) {
  auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(10000);
  }
  return true;
}

void pumpFor(Clock::duration duration) {
  pumpUntil([] { return false; }, duration);
}

struct Event {
  std::string kind;  // alert, confirm, open-panel, media, message, new-window
  std::string text;  // message, body, URL
  FrameInfo frame;
  SecurityOrigin requestingOrigin;
};

// Records what the view reports and answers as the test says.
class RecordingDelegate final : public platform::WebViewDelegate {
 public:
  bool confirmAnswer = false;
  std::optional<FileList> files;
  bool grantMedia = false;
  // Keeps dialog completions for the test to call, so the page waits.
  bool holdDialogs = false;
  std::function<void()> onAnyFailure;

  std::vector<Event> events;
  std::vector<std::function<void()>> heldCompletions;
  int finished = 0;
  int failed = 0;
  int provisionalFailed = 0;
  int terminated = 0;

  void webViewDidFinishNavigation() override { ++finished; }
  void webViewDidFailNavigation() override {
    ++failed;
    if (onAnyFailure) {
      onAnyFailure();
    }
  }
  void webViewDidFailProvisionalNavigation() override {
    ++provisionalFailed;
    if (onAnyFailure) {
      onAnyFailure();
    }
  }
  void webViewWebContentProcessDidTerminate() override { ++terminated; }

  void webViewRunJavaScriptAlert(const std::string& message, const FrameInfo& frame,
                                 std::function<void()> completion) override {
    events.push_back({"alert", message, frame, {}});
    if (holdDialogs) {
      heldCompletions.push_back(std::move(completion));
    } else {
      completion();
    }
  }
  void webViewRunJavaScriptConfirm(const std::string& message, const FrameInfo& frame,
                                   std::function<void(bool)> completion) override {
    events.push_back({"confirm", message, frame, {}});
    if (holdDialogs) {
      heldCompletions.push_back([completion, answer = confirmAnswer] { completion(answer); });
    } else {
      completion(confirmAnswer);
    }
  }
  void webViewRunOpenPanel(const platform::OpenPanelParameters& parameters, const FrameInfo& frame,
                           std::function<void(std::optional<FileList>)> completion) override {
    events.push_back(
        {"open-panel", parameters.allowsMultipleSelection ? "multiple" : "single", frame, {}});
    completion(files);
  }
  void webViewCreateWebView(const platform::NavigationAction& action) override {
    events.push_back({"new-window", action.url.value_or(""), {}, {}});
  }
  void webViewRequestMediaCapturePermission(const SecurityOrigin& origin, const FrameInfo& frame,
                                            MediaCaptureType type,
                                            std::function<void(bool)> decision) override {
    std::string kind = type == MediaCaptureType::camera       ? "camera"
                       : type == MediaCaptureType::microphone ? "microphone"
                                                              : "both";
    events.push_back({"media", kind, frame, origin});
    decision(grantMedia);
  }
  void webViewDidReceiveScriptMessage(const std::string& name, const std::string& body,
                                      const FrameInfo& frame) override {
    events.push_back({"message:" + name, body, frame, {}});
  }

  std::vector<Event> eventsOfKind(const std::string& kind) const {
    std::vector<Event> matching;
    for (const auto& event : events) {
      if (event.kind == kind) {
        matching.push_back(event);
      }
    }
    return matching;
  }
};

std::filesystem::path extensionsDirectory() {
  return TARNWICK_WEB_EXTENSIONS_DIR;
}

class WebKitViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ConnectorClient().clearLog());
    delegate_ = std::make_shared<RecordingDelegate>();
    platform::WebViewConfiguration configuration;
    configuration.scriptMessageHandlerNames = {"tarnwickFinancialUnlock"};
    configuration.drawsBackground = false;
    view_ = std::make_unique<WebKitView>(configuration, delegate_, extensionsDirectory());
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), 900, 700);
    gtk_container_add(GTK_CONTAINER(window_), view_->widget());
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
    pumpFor(100ms);
  }

  void TearDown() override {
    gtk_container_remove(GTK_CONTAINER(window_), view_->widget());
    gtk_widget_destroy(window_);
    view_.reset();
    pumpFor(50ms);
  }

  // Loads a page as the shell loads the interface and waits until it has finished.
  bool load(const std::string& url) {
    int before = delegate_->finished;
    view_->loadRequest(url, platform::Seconds(10.0),
                       platform::CachePolicy::reloadIgnoringLocalCache);
    return pumpUntil([&] { return delegate_->finished > before; }, 20s);
  }

  std::optional<std::vector<Json>> waitForLog(const Json& fields, Clock::duration timeout = 15s,
                                              std::size_t count = 1) {
    auto match = logEntryWith(fields);
    std::vector<Json> found;
    bool enough = pumpUntil(
        [&] {
          found.clear();
          for (const auto& entry : ConnectorClient().log()) {
            if (match(entry)) {
              found.push_back(entry);
            }
          }
          return found.size() >= count;
        },
        timeout);
    if (!enough) {
      return std::nullopt;
    }
    return found;
  }

  // Clicks the view at a point of its own coordinates, as a user would.
  void clickInView(int x, int y) {
    gint originX = 0, originY = 0;
    gdk_window_get_origin(gtk_widget_get_window(view_->widget()), &originX, &originY);
    GtkAllocation allocation;
    gtk_widget_get_allocation(view_->widget(), &allocation);
    Screen screen(std::getenv("DISPLAY"));
    screen.click(originX + allocation.x + x, originY + allocation.y + y);
    pumpFor(200ms);
  }

  std::shared_ptr<RecordingDelegate> delegate_;
  std::unique_ptr<WebKitView> view_;
  GtkWidget* window_ = nullptr;
};

// --- Dialogs ---

struct DialogCase {
  std::string name;
  std::string url;
  FrameInfo expected;
};

std::string actQuery(const std::string& action, const std::string& message,
                     const std::string& via = "direct") {
  return "do=" + action + "&message=" + percentEncoded(message) + "&via=" + via;
}

TEST_F(WebKitViewTest, EveryDialogCarriesTheFrameThatRaisedIt) {
  const std::vector<DialogCase> cases = {
      {"main page", local + "/test/act?" + actQuery("alert", "from main"), localMainFrame},
      {"srcdoc iframe",
       local + "/test/frame?" + actQuery("alert", "from srcdoc"),
       {false, {"http", "127.0.0.1", 8766}}},
      {"cross-origin iframe",
       local + "/test/frame?child=" +
           percentEncoded(other + "/test/act?" + actQuery("alert", "from other")),
       {false, {"http", "127.0.0.1", otherPort}}},
      {"localhost page",
       "http://localhost:8766/test/act?" + actQuery("alert", "from localhost"),
       {true, {"http", "localhost", 8766}}},
      {"page on another port",
       other + "/test/act?" + actQuery("alert", "from port"),
       {true, {"http", "127.0.0.1", otherPort}}},
      {"new frame's alert called by the main page",
       local + "/test/act?" + actQuery("alert", "fresh", "fresh-frame"),
       {false, {"http", "127.0.0.1", 8766}}},
      {"page with a script policy without eval",
       local + "/test/act?csp=1&" + actQuery("alert", "under policy"), localMainFrame},
      {"alert while the page is still parsing",
       local + "/test/act?delay=now&" + actQuery("alert", "while parsing"), localMainFrame},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    delegate_->events.clear();
    ASSERT_TRUE(load(testCase.url));
    ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOfKind("alert").empty(); }, 15s));
    auto alert = delegate_->eventsOfKind("alert").front();
    EXPECT_EQ(alert.frame, testCase.expected);
    EXPECT_EQ(ConnectorClient().clearLog(), true);
  }
}

TEST_F(WebKitViewTest, AConfirmReturnsTheDelegatesAnswerToThePage) {
  for (bool answer : {true, false}) {
    SCOPED_TRACE(answer);
    ASSERT_TRUE(ConnectorClient().clearLog());
    delegate_->events.clear();
    delegate_->confirmAnswer = answer;
    ASSERT_TRUE(load(local + "/test/act?" + actQuery("confirm", "Enable full access?")));
    auto logged = waitForLog({{"event", "dialog"}, {"kind", "confirm"}});
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->front()["result"], answer);
    ASSERT_EQ(delegate_->eventsOfKind("confirm").size(), 1U);
    EXPECT_EQ(delegate_->eventsOfKind("confirm").front().text, "Enable full access?");
    EXPECT_EQ(delegate_->eventsOfKind("confirm").front().frame, localMainFrame);
  }
}

TEST_F(WebKitViewTest, ThePageWaitsUntilTheDialogIsAnswered) {
  delegate_->holdDialogs = true;
  ASSERT_TRUE(load(local + "/test/act?" + actQuery("alert", "wait for me")));
  ASSERT_TRUE(pumpUntil([&] { return !delegate_->heldCompletions.empty(); }, 15s));
  pumpFor(1500ms);
  EXPECT_FALSE(waitForLog({{"event", "dialog"}}, 100ms)) << "the page went on before the answer";
  delegate_->heldCompletions.front()();
  auto logged = waitForLog({{"event", "dialog"}});
  ASSERT_TRUE(logged);
  EXPECT_GE(logged->front()["elapsed"].get<double>(), 1400.0);
}

TEST_F(WebKitViewTest, AlertsAreOnlyReachableThroughTheReportingFunction) {
  // The engine's alert lives on each window itself, not on a prototype a page could borrow it from.
  ASSERT_TRUE(load(local + "/test/act?" + actQuery("alert", "borrowed", "prototype")));
  auto logged = waitForLog({{"event", "dialog"}});
  ASSERT_TRUE(logged);
  EXPECT_EQ(logged->front()["unavailable"], true);
  EXPECT_TRUE(delegate_->eventsOfKind("alert").empty());
}

TEST_F(WebKitViewTest, ASameOriginFrameCallingItsParentsAlertActsAsTheParent) {
  // The engine, too, gives the dialog to the frame whose window's alert ran; a same-origin frame
  // can run anything in its parent, so this is no way around the check.
  ASSERT_TRUE(load(local + "/test/frame?" + actQuery("alert", "via parent", "parent")));
  ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOfKind("alert").empty(); }, 15s));
  EXPECT_EQ(delegate_->eventsOfKind("alert").front().frame, localMainFrame);
}

TEST_F(WebKitViewTest, APromptIsAnsweredWithNothingAtOnce) {
  ASSERT_TRUE(load(local + "/test/act?" + actQuery("prompt", "name?")));
  auto logged = waitForLog({{"event", "dialog"}, {"kind", "prompt"}});
  ASSERT_TRUE(logged);
  EXPECT_TRUE(logged->front()["result"].is_null());
  EXPECT_LT(logged->front()["elapsed"].get<double>(), 1000.0);
  EXPECT_TRUE(delegate_->events.empty());
}

// --- Script messages ---

TEST_F(WebKitViewTest, ScriptMessagesCarryTheirFrameAndTheirBody) {
  struct Case {
    std::string name;
    std::string url;
    FrameInfo expected;
  };
  const std::vector<Case> cases = {
      {"main page", local + "/test/act?do=unlock&request_id=abcd-1234", localMainFrame},
      {"srcdoc iframe",
       local + "/test/frame?do=unlock&request_id=abcd-1234",
       {false, {"http", "127.0.0.1", 8766}}},
      {"cross-origin iframe",
       local + "/test/frame?child=" +
           percentEncoded(other + "/test/act?do=unlock&request_id=abcd-1234"),
       {false, {"http", "127.0.0.1", otherPort}}},
      // The reporting postMessage lives on the prototype, so borrowing it changes nothing.
      {"main page through the prototype",
       local + "/test/act?do=unlock&request_id=abcd-1234&via=prototype", localMainFrame},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    delegate_->events.clear();
    ASSERT_TRUE(load(testCase.url));
    const std::string kind = "message:tarnwickFinancialUnlock";
    ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOfKind(kind).empty(); }, 15s));
    auto message = delegate_->eventsOfKind(kind).front();
    EXPECT_EQ(message.frame, testCase.expected);
    EXPECT_EQ(Json::parse(message.text), Json({{"request_id", "abcd-1234"}}));
  }
}

// --- Open panel ---

TEST_F(WebKitViewTest, AClickOnAFileInputOpensThePanelForItsFrame) {
  auto file = std::filesystem::temp_directory_path() / "tarnwick-chosen.txt";
  std::ofstream(file) << "chosen";
  delegate_->files = FileList{file.string()};
  ASSERT_TRUE(load(local + "/test/file"));
  clickInView(300, 300);
  ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOfKind("open-panel").empty(); }, 10s));
  EXPECT_EQ(delegate_->eventsOfKind("open-panel").front().frame, localMainFrame);
  auto logged = waitForLog({{"event", "file-change"}});
  ASSERT_TRUE(logged);
  EXPECT_EQ(logged->front()["names"], Json::array({"tarnwick-chosen.txt"}));

  // The same input in a frame of another origin.
  delegate_->events.clear();
  ASSERT_TRUE(ConnectorClient().clearLog());
  ASSERT_TRUE(load(local + "/test/frame?child=" + percentEncoded(other + "/test/file")));
  clickInView(200, 200);
  ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOfKind("open-panel").empty(); }, 10s));
  EXPECT_EQ(delegate_->eventsOfKind("open-panel").front().frame,
            (FrameInfo{false, {"http", "127.0.0.1", otherPort}}));
  std::filesystem::remove(file);
}

TEST_F(WebKitViewTest, ACancelledPanelChoosesNothing) {
  delegate_->files = std::nullopt;
  ASSERT_TRUE(load(local + "/test/file"));
  clickInView(300, 300);
  ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOfKind("open-panel").empty(); }, 10s));
  pumpFor(500ms);
  EXPECT_FALSE(waitForLog({{"event", "file-change"}}, 500ms));
}

// --- Media ---

TEST_F(WebKitViewTest, OnlyTheMainFramesMediaRequestReachesTheDelegate) {
  // No camera under Xvfb: the engine's stand-in devices make the request possible.
  webkit_settings_set_enable_mock_capture_devices(
      webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view_->widget())), TRUE);
  for (bool grant : {true, false}) {
    SCOPED_TRACE(grant);
    delegate_->events.clear();
    delegate_->grantMedia = grant;
    ASSERT_TRUE(ConnectorClient().clearLog());
    ASSERT_TRUE(load(local + "/test/act?do=media&audio=1&video=1"));
    auto logged = waitForLog({{"event", "media"}});
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->front()["result"], grant ? "granted" : "denied");
    ASSERT_EQ(delegate_->eventsOfKind("media").size(), 1U);
    auto request = delegate_->eventsOfKind("media").front();
    EXPECT_EQ(request.text, "both");
    EXPECT_EQ(request.frame, localMainFrame);
    EXPECT_EQ(request.requestingOrigin, localMainFrame.origin);
  }

  delegate_->events.clear();
  delegate_->grantMedia = true;
  ASSERT_TRUE(ConnectorClient().clearLog());
  ASSERT_TRUE(load(local + "/test/frame?do=media&audio=1"));
  auto logged = waitForLog({{"event", "media"}});
  ASSERT_TRUE(logged);
  EXPECT_EQ(logged->front()["result"], "denied");
  EXPECT_TRUE(delegate_->eventsOfKind("media").empty());
}

// --- New windows ---

TEST_F(WebKitViewTest, ABlankTargetLinkAsksForANewWindowAndTheViewKeepsItsPage) {
  ASSERT_TRUE(
      load(local + "/test/links?web=" + percentEncoded("https://tarnwick.invalid/outside")));
  auto before = view_->url();
  clickInView(300, 100);
  ASSERT_TRUE(pumpUntil([&] { return !delegate_->eventsOfKind("new-window").empty(); }, 10s));
  EXPECT_EQ(delegate_->eventsOfKind("new-window").front().text, "https://tarnwick.invalid/outside");
  pumpFor(500ms);
  EXPECT_EQ(view_->url(), before);
}

// --- Loading ---

using testsupport::LoopbackPort;

TEST_F(WebKitViewTest, ARefusedLoadFailsProvisionallyAndNeverFinishes) {
  LoopbackPort refusing;
  refusing.close();
  int finished = delegate_->finished;
  view_->loadRequest(refusing.url(), platform::Seconds(10.0),
                     platform::CachePolicy::reloadIgnoringLocalCache);
  ASSERT_TRUE(pumpUntil([&] { return delegate_->provisionalFailed == 1; }, 15s));
  pumpFor(300ms);
  EXPECT_EQ(delegate_->failed, 0);
  EXPECT_EQ(delegate_->finished, finished);
}

TEST_F(WebKitViewTest, ALoadWithoutAnAnswerFailsWhenItsTimeIsUp) {
  LoopbackPort silent;
  auto started = Clock::now();
  view_->loadRequest(silent.url(), platform::Seconds(1.0),
                     platform::CachePolicy::reloadIgnoringLocalCache);
  ASSERT_TRUE(pumpUntil([&] { return delegate_->provisionalFailed == 1; }, 10s));
  auto elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, 900ms);
  EXPECT_LT(elapsed, 5s);
}

// Counts the engine's own load events of a view.
struct LoadEvents {
  int started = 0;
  int committed = 0;
  static void record(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<LoadEvents*>(data);
    if (event == WEBKIT_LOAD_STARTED) {
      ++self->started;
    } else if (event == WEBKIT_LOAD_COMMITTED) {
      ++self->committed;
    }
  }
};

// Starts a load that is still in progress afterwards: provisional (a server that never answers)
// or committed (a page that waits for an image). A load replaced before the engine has started
// it fails no way at all, so this waits for the engine.
void startLoadInProgress(WebKitView& view, bool committed, const LoopbackPort& silent) {
  LoadEvents events;
  auto* engine = WEBKIT_WEB_VIEW(view.widget());
  gulong handler =
      g_signal_connect(engine, "load-changed", G_CALLBACK(LoadEvents::record), &events);
  view.loadRequest(committed ? local + "/test/act?hold=8000" : silent.url(),
                   platform::Seconds(10.0), platform::CachePolicy::reloadIgnoringLocalCache);
  EXPECT_TRUE(
      pumpUntil([&] { return committed ? events.committed > 0 : events.started > 0; }, 15s));
  g_signal_handler_disconnect(engine, handler);
  pumpFor(200ms);
}

// The engine cancels a load that a new one replaces; the shell asked for the new one, so the
// old one's end is no failure (answered as one, a status page would be replaced by a reconnect).
TEST_F(WebKitViewTest, ALoadTheShellSupersedesIsNoFailure) {
  LoopbackPort silent;
  for (bool committed : {false, true}) {
    SCOPED_TRACE(committed ? "committed" : "provisional");
    startLoadInProgress(*view_, committed, silent);
    int finished = delegate_->finished;
    view_->loadHTMLString("<p>status</p>");
    ASSERT_TRUE(pumpUntil([&] { return delegate_->finished > finished; }, 10s));
    pumpFor(300ms);
    EXPECT_EQ(delegate_->provisionalFailed, 0);
    EXPECT_EQ(delegate_->failed, 0);
    EXPECT_EQ(view_->url(), "about:blank");
  }
  // A load that fails on its own after that is reported as before.
  view_->loadRequest(silent.url(), platform::Seconds(1.0), platform::CachePolicy::protocolDefault);
  EXPECT_TRUE(pumpUntil([&] { return delegate_->provisionalFailed == 1; }, 10s));
}

TEST_F(WebKitViewTest, TheInterfaceLoadAlwaysAsksTheServer) {
  ConnectorClient client;
  ASSERT_TRUE(client.clearRequests());
  ASSERT_TRUE(load(local + "/test/cacheable?do=none"));
  ASSERT_TRUE(load(local + "/test/cacheable?do=none"));
  int asked = 0;
  for (const auto& request : client.requests()) {
    if (request["path"] == "/test/cacheable") {
      ++asked;
      EXPECT_EQ(request["headers"].value("Cache-Control", ""), "no-cache");
    }
  }
  EXPECT_EQ(asked, 2);
}

// --- Scripts and the web content process ---

// Scripts with a result run in the page's own world: a string comes back, anything else or a
// failure gives nothing, and each completion runs once.
TEST_F(WebKitViewTest, AScriptsResultIsTheTextItGivesOrNothing) {
  ASSERT_TRUE(load(local + "/"));
  struct Case {
    std::string script;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"document.querySelector('meta[name=\"tarnwick-desktop-csrf\"]').content.length > 0 ? "
       "'has token' : 'none'",
       "has token"},
      {"window.pageValue = 'set by the page'; window.pageValue", "set by the page"},
      {"window.pageValue", "set by the page"},  // the page's world, not an isolated one
      {"40 + 2", std::nullopt},
      {"throw new Error('no')", std::nullopt},
      {"'\u00b7 \u2026'", "\u00b7 \u2026"},
  };
  for (const auto& test : cases) {
    int calls = 0;
    std::optional<std::string> result;
    view_->evaluateJavaScript(test.script, [&](const std::optional<std::string>& value) {
      ++calls;
      result = value;
    });
    ASSERT_TRUE(pumpUntil([&] { return calls > 0; }, 10s)) << test.script;
    pumpFor(50ms);
    EXPECT_EQ(calls, 1) << test.script;
    EXPECT_EQ(result, test.expected) << test.script;
  }
}

TEST_F(WebKitViewTest, AKilledContentProcessIsReported) {
  ASSERT_TRUE(load(local + "/"));
  auto before = childProcesses(::getpid(), "WebKitWebProces");
  ASSERT_FALSE(before.empty());
  for (int pid : before) {
    ::kill(pid, SIGKILL);
  }
  ASSERT_TRUE(pumpUntil([&] { return delegate_->terminated == 1; }, 10s));
}

}  // namespace
}  // namespace tarnwick::e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) {
    return RUN_ALL_TESTS();
  }
  tarnwick::e2e::VirtualDisplay display;
  if (!display.ready()) {
    std::cerr << "no Xvfb\n";
    return 1;
  }
  tarnwick::e2e::TemporaryFolder home("tarnwick-webkit-home");
  setenv("DISPLAY", display.name().c_str(), 1);
  setenv("HOME", home.path().c_str(), 1);
  setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus outliving the test
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                           "WAYLAND_DISPLAY"}) {
    unsetenv(name);
  }
  gtk_init(&argc, &argv);
  tarnwick::e2e::StandInConnector connector({.extraPorts = {tarnwick::e2e::otherPort}});
  if (!connector.ready()) {
    std::cerr << "the stand-in Connector did not start (is port 8766 free?)\n";
    return 1;
  }
  return RUN_ALL_TESTS();
}
