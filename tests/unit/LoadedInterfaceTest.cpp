#include <gtest/gtest.h>

#include "DelegateAccess.h"
#include "FakePlatform.h"
#include "bridge/LoadedInterface.h"

namespace tarnwick::bridge {
namespace {

TEST(MetaScrapeScript, IsTheFiveLinesExactly) {
  EXPECT_EQ(metaScrapeScript(),
            "JSON.stringify({\n"
            "  version: (document.querySelector('meta[name=\"tarnwick-client-version\"]') || "
            "{}).content || '',\n"
            "  source: (document.querySelector('meta[name=\"tarnwick-client-source\"]') || "
            "{}).content || '',\n"
            "  csrf: (document.querySelector('meta[name=\"tarnwick-desktop-csrf\"]') || "
            "{}).content || ''\n"
            "})");
}

struct DecodeCase {
  const char* json;
  std::optional<LoadedInterface> record;
};

class LoadedInterfaceDecoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(LoadedInterfaceDecoding, NeedsAllThreeStrings) {
  EXPECT_EQ(decodeLoadedInterface(GetParam().json), GetParam().record) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LoadedInterfaceDecoding,
    testing::Values(DecodeCase{R"({"version":"2026.12.1","source":"channel","csrf":"t"})",
                               LoadedInterface{"2026.12.1", "channel", "t"}},
                    DecodeCase{R"({"version":"","source":"","csrf":""})",
                               LoadedInterface{"", "", ""}},
                    DecodeCase{R"({"version":"1","source":"s","csrf":"c","extra":5})",
                               LoadedInterface{"1", "s", "c"}},
                    DecodeCase{R"({"version":"1","source":"s"})", std::nullopt},
                    DecodeCase{R"({"version":1,"source":"s","csrf":"c"})", std::nullopt},
                    DecodeCase{R"({"version":"1","source":null,"csrf":"c"})", std::nullopt},
                    DecodeCase{R"(["1","s","c"])", std::nullopt},
                    DecodeCase{"not json", std::nullopt}, DecodeCase{"", std::nullopt}));

struct TitleCase {
  std::optional<LoadedInterface> interface;
  const char* title;
};

class WindowTitle : public testing::TestWithParam<TitleCase> {};

TEST_P(WindowTitle, NamesTheChannelInterfaceOrTheShell) {
  EXPECT_EQ(windowTitle(GetParam().interface, "1.4.2"), GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, WindowTitle,
    testing::Values(TitleCase{LoadedInterface{"2026.12.1", "channel", ""},
                              "Tarnwick \u00b7 Interface 2026.12.1"},
                    TitleCase{LoadedInterface{"2026.12.1", "Channel", ""}, "Tarnwick 1.4.2"},
                    TitleCase{LoadedInterface{"2026.12.1", "bundled", ""}, "Tarnwick 1.4.2"},
                    TitleCase{LoadedInterface{"2026.12.1", "", ""}, "Tarnwick 1.4.2"},
                    TitleCase{LoadedInterface{"", "channel", ""}, "Tarnwick 1.4.2"},
                    TitleCase{std::nullopt, "Tarnwick 1.4.2"}));

class FinishedNavigation : public testing::Test {
 protected:
  void SetUp() override {
    platform.bundle.info["CFBundleShortVersionString"] = std::string("1.4.2");
    delegate = platform.makeDelegate();
    delegate->applicationDidFinishLaunching();
    webView = platform.application.webView.get();
    webView->scripts.clear();
  }

  void finishLoading(const std::string& url) {
    webView->currentURL = url;
    delegate->webViewDidFinishNavigation();
  }

  fakes::FakePlatform platform;
  std::shared_ptr<app::TarnwickAppDelegate> delegate;
  fakes::FakeWebView* webView = nullptr;
};

TEST_F(FinishedNavigation, OnlyTheRootPageResetsThePageToLoadOnReconnect) {
  const std::string pairing = "http://127.0.0.1:8766/support?code=ABCDEFGH";
  app::TarnwickAppDelegateTestAccess::setTargetURL(*delegate, pairing);
  for (const char* other :
       {"http://127.0.0.1:8766/support?code=ABCDEFGH", "http://127.0.0.1:8766/accounts/",
        "http://127.0.0.1:8766/a/b?c=/", "http://127.0.0.1:8766//", "about:blank"}) {
    finishLoading(other);
    EXPECT_EQ(delegate->targetURL(), pairing) << other;
  }
  finishLoading("http://127.0.0.1:8766/");
  EXPECT_EQ(delegate->targetURL(), "http://127.0.0.1:8766/");
}

TEST_F(FinishedNavigation, TitleFollowsThePageAfterEveryLoad) {
  finishLoading("about:blank");
  ASSERT_EQ(webView->scripts.size(), 1U);
  EXPECT_EQ(webView->scripts[0].source, metaScrapeScript());
  webView->scripts[0].completion(R"({"version":"2026.12.1","source":"channel","csrf":"x"})");
  EXPECT_EQ(platform.application.window->title(), "Tarnwick \u00b7 Interface 2026.12.1");

  finishLoading("about:blank");
  webView->scripts[1].completion(std::nullopt);  // the script failed
  EXPECT_EQ(platform.application.window->title(), "Tarnwick 1.4.2");
}

TEST_F(FinishedNavigation, NoTitleChangeOnceTheDelegateIsGone) {
  finishLoading("about:blank");
  auto completion = webView->scripts[0].completion;
  auto window = platform.application.window;
  delegate.reset();
  completion(R"({"version":"9","source":"channel","csrf":""})");
  EXPECT_EQ(window->title(), "Tarnwick");
}

}  // namespace
}  // namespace tarnwick::bridge
