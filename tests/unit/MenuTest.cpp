#include <gtest/gtest.h>

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
  expectRows(rows(bar[0]), {{"Reload Tarnwick", "r", KeyModifier::command, std::nullopt, true},
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

TEST(PasteScript, FixedPartsHaveTheirExactLengths) {
  EXPECT_EQ(pasteScriptPrefix(), "(() => {\n  const text = ");
  EXPECT_EQ(pasteScriptPrefix().size(), 24U);
  EXPECT_EQ(pasteScriptSuffix().size(), 1173U);
  EXPECT_TRUE(pasteScriptSuffix().starts_with("[0];\n  const element = document.activeElement;\n"));
  EXPECT_TRUE(pasteScriptSuffix().ends_with("\n  return false;\n})()"));
}

TEST(PasteScript, EmbedsTheTextAsACompactJSONArray) {
  auto script = pasteScript("a\"b\\c\nd</script>\u00e9");
  ASSERT_TRUE(script);
  auto json = script->substr(24, script->size() - 24 - 1173);
  EXPECT_EQ(json, "[\"a\\\"b\\\\c\\nd</script>\u00e9\"]");
}

TEST(PasteScript, InvalidUTF8GivesNoScript) { EXPECT_FALSE(pasteScript("\xff\xfe")); }

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
