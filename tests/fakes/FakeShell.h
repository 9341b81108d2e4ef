#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Application.h"

namespace tarnwick::fakes {

// A scripted page: records what the shell asks of it; tests play the engine's events.
class FakeWebView final : public platform::WebView {
 public:
  struct Load {
    enum class Kind { request, html } kind;
    std::string content;  // the URL, or the HTML
    platform::Seconds timeout{0};
    platform::CachePolicy cachePolicy = platform::CachePolicy::protocolDefault;
  };
  struct Script {
    std::string source;
    std::function<void(const std::optional<std::string>&)> completion;
  };

  void loadRequest(const std::string& url, platform::Seconds timeout,
                   platform::CachePolicy cachePolicy) override {
    loads.push_back({Load::Kind::request, url, timeout, cachePolicy});
    currentURL = url;
  }
  void loadHTMLString(const std::string& html) override {
    loads.push_back({Load::Kind::html, html});
    currentURL = "about:blank";
  }
  void evaluateJavaScript(const std::string& script,
                          std::function<void(const std::optional<std::string>&)> completion) override {
    scripts.push_back({script, std::move(completion)});
  }
  void reloadFromOrigin() override { ++reloadsFromOrigin; }
  std::optional<std::string> url() const override { return currentURL; }

  // The HTML of the last status page, or nothing when the last load was a request.
  std::optional<std::string> lastHTML() const {
    if (loads.empty() || loads.back().kind != Load::Kind::html) {
      return std::nullopt;
    }
    return loads.back().content;
  }
  std::vector<std::string> requestedURLs() const {
    std::vector<std::string> urls;
    for (const auto& load : loads) {
      if (load.kind == Load::Kind::request) {
        urls.push_back(load.content);
      }
    }
    return urls;
  }

  platform::WebViewConfiguration configuration;
  std::weak_ptr<platform::WebViewDelegate> delegate;
  std::vector<Load> loads;
  std::vector<Script> scripts;
  int reloadsFromOrigin = 0;
  std::optional<std::string> currentURL;
};

class FakeWindow final : public platform::Window {
 public:
  struct Sheet {
    platform::Alert alert;
    std::function<void(std::optional<std::size_t>)> completion;
  };
  struct OpenPanel {
    bool files, directories, multiple;
    std::function<void(std::optional<platform::FileList>)> completion;
  };

  void setTitle(const std::string& title) override { title_ = title; }
  std::string title() const override { return title_; }
  void setMinSize(int width, int height) override { minSize = {width, height}; }
  void setContentView(platform::WebView& webView) override { content = &webView; }
  void center() override { centred = true; }
  void makeKeyAndOrderFront() override {
    ++broughtForward;
    visible = true;
    presentedTokens.push_back(std::exchange(startupToken, {}));
  }
  void setStartupToken(const std::string& token) override { startupToken = token; }
  bool isVisible() const override { return visible; }
  void beginSheet(const platform::Alert& alert,
                  std::function<void(std::optional<std::size_t>)> completion) override {
    sheets.push_back({alert, std::move(completion)});
  }
  void beginOpenPanel(bool files, bool directories, bool multiple,
                      std::function<void(std::optional<platform::FileList>)> completion) override {
    openPanels.push_back({files, directories, multiple, std::move(completion)});
  }

  platform::WindowDescription description;
  std::pair<int, int> minSize{0, 0};
  platform::WebView* content = nullptr;
  bool centred = false;
  bool visible = false;
  int broughtForward = 0;
  std::string startupToken;                  // for the next presentation
  std::vector<std::string> presentedTokens;  // each presentation's, empty for none
  std::vector<Sheet> sheets;
  std::vector<OpenPanel> openPanels;

 private:
  std::string title_;
};

class FakeApplication final : public platform::Application {
 public:
  void setActivationPolicyRegular() override { events.push_back("activation policy regular"); }
  void activate(bool ignoringOtherApps) override {
    events.push_back(ignoringOtherApps ? "activate ignoring other apps" : "activate");
  }
  void setMainMenu(platform::MenuBar bar) override {
    events.push_back("main menu");
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
  std::shared_ptr<platform::Window> makeWindow(const platform::WindowDescription& description) override {
    events.push_back("window");
    window = std::make_shared<FakeWindow>();
    window->description = description;
    return window;
  }
  void terminate() override { events.push_back("terminate"); }

  std::vector<std::string> events;
  platform::MenuBar menuBar;
  std::shared_ptr<FakeWebView> webView;
  std::shared_ptr<FakeWindow> window;
};

}  // namespace tarnwick::fakes
