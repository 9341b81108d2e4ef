#pragma once
// Every port faked. Time is virtual: queued tasks run only when a test advances the clock, and
// requests wait until a test answers them. What the shell asks of the platform is recorded.
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

#include "app/TarnwickAppDelegate.h"
#include "platform/Platform.h"
#include "platform/SupportDevices.h"

namespace tarnwick::fakes {

using platform::Seconds;
using Arguments = std::vector<std::string>;
namespace fs = std::filesystem;

class FakeMainQueue final : public platform::MainQueue {
 public:
  void async(std::function<void()> task) override { asyncAfter(Seconds(0), std::move(task)); }
  void asyncAfter(Seconds delay, std::function<void()> task) override {
    tasks_.emplace(std::pair{now_ + delay.count(), sequence_++}, std::move(task));
  }
  // Runs, in time order, every task due within `duration`, also those queued meanwhile.
  void advance(Seconds duration) {
    const double until = now_ + duration.count();
    while (!tasks_.empty() && tasks_.begin()->first.first <= until) {
      auto task = tasks_.extract(tasks_.begin());
      now_ = task.key().first;
      task.mapped()();
    }
    now_ = until;
  }
  void runUntilIdle() { advance(Seconds(0)); }
  Seconds now() const override { return Seconds(now_); }
  std::size_t pending() const { return tasks_.size(); }

 private:
  double now_ = 0;
  unsigned long sequence_ = 0;
  std::map<std::pair<double, unsigned long>, std::function<void()>> tasks_;
};

class FakeSleeper final : public platform::Sleeper {
 public:
  void sleepFor(Seconds duration) override { pauses.push_back(duration.count()); }
  std::vector<double> pauses;
};

class FakeHttpClient final : public platform::HttpClient {
 public:
  struct Pending {
    platform::HttpRequest request;
    DataCompletion data;
    DownloadCompletion download;
    bool answered = false;
  };
  void dataTask(platform::HttpRequest request, DataCompletion completion) override {
    requests.push_back({std::move(request), std::move(completion), nullptr});
  }
  void downloadTask(platform::HttpRequest request, DownloadCompletion completion) override {
    requests.push_back({std::move(request), nullptr, std::move(completion)});
  }
  std::size_t count() const { return requests.size(); }
  const platform::HttpRequest& request(std::size_t at) const { return requests.at(at).request; }
  std::size_t unanswered(const std::string& url = health) const {
    return static_cast<std::size_t>(std::ranges::count_if(
        requests, [&](auto& pending) { return !pending.answered && pending.request.url == url; }));
  }
  void respond(std::size_t at, const platform::HttpResponse& response,
               const std::optional<fs::path>& file = std::nullopt) {
    requests.at(at).answered = true;
    // Taken out, as a real client lets go of it; a completion may also add requests.
    auto data = std::move(requests[at].data);
    auto download = std::move(requests[at].download);
    data ? data(response) : download(response, file);
  }
  // Answers the oldest open request to `url`.
  void respondNext(const platform::HttpResponse& response, const std::string& url = health) {
    for (std::size_t at = 0; at < requests.size(); ++at) {
      if (!requests[at].answered && requests[at].request.url == url) {
        return respond(at, response);
      }
    }
    throw std::logic_error("no open request to " + url);
  }
  // Answered by this account, unless a test says otherwise.
  static platform::HttpResponse status(int code, platform::HeaderList headers = {},
                                       std::optional<std::string> body = std::nullopt) {
    return {code, std::move(headers), std::move(body), std::nullopt, ::getuid()};
  }
  static platform::HttpResponse transportError(std::string description) {
    return {.transportError = std::move(description)};
  }
  static constexpr const char* health = "http://127.0.0.1:8766/";
  std::vector<Pending> requests;
};

class FakeWebView final : public platform::WebView {
 public:
  using Completion = std::function<void(const std::optional<std::string>&)>;
  void loadRequest(const std::string& url, Seconds timeout, platform::CachePolicy policy) override {
    requested.push_back(currentURL.emplace(url));
    lastLoad = {timeout, policy};
  }
  void loadHTMLString(const std::string& html) override {
    pages.push_back(html);
    currentURL = "about:blank";
  }
  void evaluateJavaScript(const std::string& script, Completion completion) override {
    scripts.emplace_back(script, std::move(completion));
  }
  void reloadFromOrigin() override { ++reloadsFromOrigin; }
  std::optional<std::string> url() const override { return currentURL; }
  platform::WebViewConfiguration configuration;
  std::weak_ptr<platform::WebViewDelegate> delegate;
  std::vector<std::string> requested, pages;  // URLs loaded, and HTML shown
  std::pair<Seconds, platform::CachePolicy> lastLoad;
  std::vector<std::pair<std::string, Completion>> scripts;
  int reloadsFromOrigin = 0;
  std::optional<std::string> currentURL;
};

// Window calls go into the application's event log, so launch order is one sequence.
class FakeWindow final : public platform::Window {
 public:
  using Ending = std::function<void(std::optional<std::size_t>)>;
  using Chosen = std::function<void(std::optional<platform::FileList>)>;
  struct Sheet {
    platform::Alert alert;
    Ending completion;
  };
  explicit FakeWindow(std::vector<std::string>& log) : events(log) {}
  void setTitle(const std::string& text) override { titleText = text; }
  std::string title() const override { return titleText; }
  void setMinSize(int w, int h) override {
    events.push_back("min size " + std::to_string(w) + "x" + std::to_string(h));
  }
  void setContentView(platform::WebView&) override { events.push_back("content"); }
  void center() override { events.push_back("centre"); }
  void makeKeyAndOrderFront() override {
    events.push_back("front");
    presentedTokens.push_back(std::exchange(startupToken, {}));
  }
  void setStartupToken(const std::string& token) override { startupToken = token; }
  bool isVisible() const override { return true; }
  void beginSheet(const platform::Alert& alert, Ending ending) override {
    sheets.push_back({alert, std::move(ending)});
  }
  void beginOpenPanel(bool files, bool folders, bool multiple, Chosen chosen) override {
    panels.emplace_back(std::to_string(files) + std::to_string(folders) + std::to_string(multiple),
                        std::move(chosen));
  }
  std::vector<std::string>& events;
  std::vector<Sheet> sheets;
  std::vector<std::pair<std::string, Chosen>> panels;  // "111": files, folders, several
  std::string startupToken;                            // for the next presentation
  std::vector<std::string> presentedTokens;            // each presentation's, "" for none
  std::string titleText;
};

class FakeApplication final : public platform::Application {
 public:
  void setActivationPolicyRegular() override { events.push_back("regular"); }
  void activate(bool ignoring) override { events.push_back(ignoring ? "activate ignoring" : "?"); }
  void setMainMenu(platform::MenuBar bar) override {
    events.push_back("menu");
    menuBar = std::move(bar);
  }
  std::shared_ptr<platform::WebView> makeWebView(
      const platform::WebViewConfiguration& configuration,
      std::weak_ptr<platform::WebViewDelegate> delegate) override {
    events.push_back("web view");
    webView = std::make_shared<FakeWebView>();
    webView->configuration = configuration;
    webView->delegate = std::move(delegate);
    return webView;
  }
  std::shared_ptr<platform::Window> makeWindow(const platform::WindowDescription& size) override {
    events.push_back("window " + std::to_string(size.contentWidth) + "x" +
                     std::to_string(size.contentHeight));
    return window = std::make_shared<FakeWindow>(events);
  }
  void terminate() override { events.push_back("terminate"); }
  std::vector<std::string> events;
  platform::MenuBar menuBar;
  std::shared_ptr<FakeWebView> webView;
  std::shared_ptr<FakeWindow> window;
};

class FakeWorkspace final : public platform::Workspace {
 public:
  bool openURL(const std::string& url) override { return opened.push_back(url), true; }
  bool activateRunningApplication(const std::string&) override { return false; }
  std::vector<std::string> opened;
};

class FakePasteboard final : public platform::Pasteboard {
 public:
  std::optional<std::string> plainText() override { return text; }
  std::optional<std::string> text;
};

class FakePreferences final : public platform::Preferences {
 public:
  std::optional<std::string> string(const std::string& key) override {
    return strings.contains(key) ? std::optional(strings[key]) : std::nullopt;
  }
  std::optional<platform::Date> date(const std::string& key) override {
    return dates.contains(key) ? std::optional(dates[key]) : std::nullopt;
  }
  void setString(const std::string& key, const std::string& text) override { strings[key] = text; }
  void setDate(const std::string& key, platform::Date value) override { dates[key] = value; }
  platform::Date now() override { return clock; }
  std::map<std::string, std::string> strings;
  std::map<std::string, platform::Date> dates;
  platform::Date clock{};
};

class FakeBundle final : public platform::Bundle {
 public:
  std::optional<fs::path> bundlePath() override { return path; }
  std::optional<std::string> bundleIdentifier() override { return std::nullopt; }
  platform::InfoValue infoValue(const std::string& key) override {
    return info.contains(key) ? info[key] : platform::InfoValue();
  }
  platform::InfoValue infoValueAt(const fs::path& bundle, const std::string& key) override {
    return otherInfo.contains({bundle, key}) ? otherInfo[{bundle, key}] : platform::InfoValue();
  }
  std::optional<fs::path> path;
  std::map<std::string, platform::InfoValue> info;
  std::map<std::pair<fs::path, std::string>, platform::InfoValue> otherInfo;
};

class FakeLoginItems final : public platform::LoginItems {
 public:
  bool setEnabled(const std::string& identifier, bool enabled) override {
    return calls.push_back((enabled ? "enable " : "disable ") + identifier), true;
  }
  bool isRunning(const std::string&) override { return running; }
  std::vector<std::string> calls;
  bool running = false;
};

// Each context records its evaluation; the reply waits until the test answers it.
class FakeDeviceOwnerAuth final : public platform::DeviceOwnerAuth {
 public:
  std::unique_ptr<platform::DeviceOwnerAuthContext> makeContext() override {
    struct Context final : platform::DeviceOwnerAuthContext {
      explicit Context(FakeDeviceOwnerAuth& to) : owner(to) {}
      void setCancelTitle(const std::string& title) override { owner.asked.push_back(title); }
      bool canEvaluate() override { return owner.available; }
      void evaluate(const std::string& why, std::function<void(bool)> reply) override {
        owner.asked.back() += "|" + why;
        owner.replies.push_back(std::move(reply));
      }
      FakeDeviceOwnerAuth& owner;
    };
    return std::make_unique<Context>(*this);
  }
  bool available = true;
  std::vector<std::string> asked;  // "cancel title|reason"
  std::vector<std::function<void(bool)>> replies;
};

class FakeUserFolders final : public platform::UserFolders {
 public:
  fs::path home() override { return homeFolder; }
  std::optional<fs::path> applicationSupport() override { return supportFolder; }
  fs::path temporary() override { return temporaryFolder; }
  fs::path homeFolder = "/nonexistent/home";
  std::optional<fs::path> supportFolder = "/nonexistent/data";
  fs::path temporaryFolder = "/nonexistent/tmp";
};

// Records every tool call as "<kind> <path> <arguments…>", space-separated.
class FakeCommandRunner final : public platform::CommandRunner {
 public:
  bool run(const std::string& path, const Arguments& arguments) override {
    return record("run", path, arguments), answer && answer(path, arguments);
  }
  std::string capture(const std::string& path, const Arguments& arguments) override {
    return record("capture", path, arguments), captured;
  }
  // The copy runs while `detachedRunning` says so.
  std::function<bool()> launchWatched(const std::string& path,
                                      const Arguments& arguments) override {
    record("detached", path, arguments);
    return [running = detachedRunning] { return *running; };
  }
  bool launch(const std::string& path, const Arguments& arguments) override {
    return record("launch", path, arguments), launchResult;
  }
  std::string toolLocation(const std::string& path) override {
    return toolLocations.contains(path) ? toolLocations[path] : path;
  }
  void record(const std::string& kind, const std::string& path, const Arguments& arguments) {
    calls.push_back(kind + " " + path);
    for (const auto& argument : arguments) {
      calls.back() += " " + argument;
    }
  }
  std::vector<std::string> calls;
  // Decides every run (and may act on files, as the tool would); without it every run fails.
  std::function<bool(const std::string&, const Arguments&)> answer;
  std::string captured;
  bool launchResult = true;
  std::map<std::string, std::string> toolLocations;
  std::shared_ptr<bool> detachedRunning = std::make_shared<bool>(false);
};

struct FakePlatform {
  FakeMainQueue mainQueue;
  FakeSleeper sleeper;
  FakeHttpClient http;
  FakeApplication application;
  FakeWorkspace workspace;
  FakePasteboard pasteboard;
  FakePreferences preferences;
  FakeBundle bundle;
  FakeLoginItems loginItems;
  FakeDeviceOwnerAuth deviceOwnerAuth;
  FakeUserFolders userFolders;
  FakeCommandRunner commands;
  platform::Platform ports{mainQueue,  sleeper,         http,        application,
                           workspace,  pasteboard,      preferences, bundle,
                           loginItems, deviceOwnerAuth, userFolders, commands};
  std::shared_ptr<app::TarnwickAppDelegate> makeDelegate() {
    return std::make_shared<app::TarnwickAppDelegate>(ports);
  }
};

// Every support device in one; posted events, and questions asked, as lines of text.
class FakeSupportDevices final : public platform::SupportDeviceProvider,
                                 public platform::PrivacyAccess,
                                 public platform::Screen,
                                 public platform::ImageEncoder,
                                 public platform::InputEvents,
                                 public platform::RunningApplications {
 public:
  platform::SupportDevices devices() override { return ++opened, ports(); }
  platform::SupportDevices ports() { return {*this, *this, *this, *this, *this, sleeper}; }
  bool isTrustedForAccessibility(bool prompt) override {
    return ask(prompt ? "accessibility with prompt" : "accessibility");
  }
  bool screenCaptureAllowed() override { return ask("screen capture"); }
  bool requestScreenCapture() override { return ask("screen capture request"); }
  std::optional<platform::Image> captureAllDisplays() override { return image; }
  std::optional<std::vector<std::uint8_t>> encodeJPEG(const platform::Image& shot,
                                                      double quality) override {
    encoded.push_back(std::to_string(shot.width) + "x" + std::to_string(shot.height) + " at " +
                      std::to_string(quality));
    return jpeg;
  }
  bool postKey(std::uint16_t code, std::uint64_t flags) override {
    return post("key " + std::to_string(code) + " flags " + std::to_string(flags));
  }
  bool postText(const std::u16string& chunk) override {
    chunks.push_back(chunk);
    return post("text " + std::to_string(chunk.size()));
  }
  bool postClick(double x, double y, platform::MouseButton button, std::int64_t state) override {
    std::ostringstream line;
    line << "click " << x << " " << y
         << (button == platform::MouseButton::right ? " right " : " left ") << state;
    return post(line.str());
  }
  bool postScroll(std::int32_t lines) override { return post("scroll " + std::to_string(lines)); }
  bool activateFirst(const std::string& identifier) override {
    return events.push_back("activate " + identifier), false;
  }
  bool granted = true;
  std::vector<std::string> events, encoded;
  std::vector<std::u16string> chunks;
  std::optional<platform::Image> image = platform::Image{2, 1, {1, 2, 3, 4, 5, 6}};
  std::optional<std::vector<std::uint8_t>> jpeg = std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xD9};
  std::size_t failAfter = SIZE_MAX;  // events accepted before every post fails
  FakeSleeper sleeper;
  int opened = 0;

 private:
  bool ask(const char* question) { return events.push_back(question), granted; }
  bool post(std::string line) {
    return events.size() < failAfter && (events.push_back(std::move(line)), true);
  }
};

}  // namespace tarnwick::fakes
