#include <gtest/gtest.h>

#include "DelegateAccess.h"
#include "FakePlatform.h"
#include "app/PasteScript.h"

namespace tarnwick::app {
namespace {

using fakes::FakePlatform;
using platform::KeyModifier;
using platform::StandardAction;

struct Row {
  std::string title;
  std::string key;
  KeyModifier modifiers;
  std::optional<StandardAction> standard;
  bool delegateAction;
};

std::vector<Row> rows(const platform::Menu& menu) {
  std::vector<Row> result;
  for (const auto& item : menu.items) {
    if (item.separator) {
      result.push_back({"-", "", KeyModifier::none, std::nullopt, false});
    } else {
      result.push_back({item.title, item.keyEquivalent, item.modifiers, item.standardAction,
                        static_cast<bool>(item.action)});
    }
  }
  return result;
}

void expectRows(const std::vector<Row>& actual, const std::vector<Row>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t index = 0; index < expected.size(); ++index) {
    SCOPED_TRACE(expected[index].title);
    EXPECT_EQ(actual[index].title, expected[index].title);
    EXPECT_EQ(actual[index].key, expected[index].key);
    EXPECT_EQ(actual[index].modifiers, expected[index].modifiers);
    EXPECT_EQ(actual[index].standard, expected[index].standard);
    EXPECT_EQ(actual[index].delegateAction, expected[index].delegateAction);
  }
}

TEST(Menu, HasTheTwoMenusWithTheirItemsInOrder) {
  FakePlatform platform;
  auto delegate = platform.makeDelegate();
  delegate->installMenu();
  const auto& bar = platform.application.menuBar;
  ASSERT_EQ(bar.size(), 2U);
  EXPECT_EQ(bar[0].title, "");
  expectRows(rows(bar[0]),
             {{"Reload Tarnwick", "r", KeyModifier::command, std::nullopt, true},
              {"Check for Updates\u2026", "", KeyModifier::none, std::nullopt, true},
              {"-", "", KeyModifier::none, std::nullopt, false},
              {"Quit Tarnwick", "q", KeyModifier::command, StandardAction::terminate, false}});
  EXPECT_EQ(bar[1].title, "Edit");
  expectRows(rows(bar[1]),
             {{"Undo", "z", KeyModifier::command, StandardAction::undo, false},
              {"Redo", "z", KeyModifier::command | KeyModifier::shift, StandardAction::redo, false},
              {"-", "", KeyModifier::none, std::nullopt, false},
              {"Cut", "x", KeyModifier::command, StandardAction::cut, false},
              {"Copy", "c", KeyModifier::command, StandardAction::copy, false},
              {"Paste", "v", KeyModifier::command, std::nullopt, true},
              {"-", "", KeyModifier::none, std::nullopt, false},
              {"Select All", "a", KeyModifier::command, StandardAction::selectAll, false}});
}

TEST(Menu, ReloadBeginsAFreshSeriesAndNoOtherItemDoes) {
  FakePlatform platform;
  auto delegate = platform.makeDelegate();
  delegate->applicationDidFinishLaunching();  // one health check
  auto item = [&](const std::string& title) {
    for (const auto& entry : platform.application.menuBar[0].items) {
      if (entry.title == title) {
        return entry.action;
      }
    }
    return std::function<void()>();
  };
  TarnwickAppDelegateTestAccess::setAttempts(*delegate, 31);
  item("Check for Updates\u2026")();
  EXPECT_EQ(platform.http.count(), 1U) << "the update check must not reconnect";
  EXPECT_EQ(delegate->attempts(), 31);
  item("Reload Tarnwick")();
  EXPECT_EQ(platform.http.count(), 2U);
  EXPECT_EQ(platform.http.request(1).url, "http://127.0.0.1:8766/");
  EXPECT_EQ(delegate->attempts(), 0);
}

TEST(Menu, ActionsDoNothingOnceTheDelegateIsGone) {
  FakePlatform platform;
  auto delegate = platform.makeDelegate();
  delegate->installMenu();
  delegate.reset();
  for (const auto& menu : platform.application.menuBar) {
    for (const auto& item : menu.items) {
      if (item.action) {
        item.action();
      }
    }
  }
  EXPECT_EQ(platform.http.count(), 0U);
}

TEST(PasteScript, EmbedsTheTextAsACompactJSONArray) {
  auto script = pasteScript("a\"b\\c\nd</script>\u00e9");
  ASSERT_TRUE(script);
  // What the page's script does with it is run on a real page by the end-to-end paste test.
  EXPECT_NE(script->find("const text = [\"a\\\"b\\\\c\\nd</script>\u00e9\"][0];\n"),
            std::string::npos);
}

TEST(PasteScript, InvalidUTF8GivesNoScript) {
  EXPECT_FALSE(pasteScript("\xff\xfe"));
}

class Paste : public testing::Test {
 protected:
  FakePlatform platform;
  std::shared_ptr<TarnwickAppDelegate> delegate = platform.makeDelegate();
};

TEST_F(Paste, RunsTheScriptWithoutWaitingForIt) {
  delegate->applicationDidFinishLaunching();
  platform.pasteboard.text = "hello";
  delegate->pasteFromClipboard();
  auto& scripts = platform.application.webView->scripts;
  ASSERT_EQ(scripts.size(), 1U);
  EXPECT_EQ(scripts[0].source, *pasteScript("hello"));
  EXPECT_FALSE(scripts[0].completion);
}

TEST_F(Paste, DoesNothingWithoutTextOrWithoutAWebView) {
  platform.pasteboard.text = "early";
  delegate->pasteFromClipboard();  // no web view yet
  delegate->applicationDidFinishLaunching();
  platform.pasteboard.text.reset();  // the clipboard holds only an image
  delegate->pasteFromClipboard();
  EXPECT_TRUE(platform.application.webView->scripts.empty());
}

}  // namespace
}  // namespace tarnwick::app
