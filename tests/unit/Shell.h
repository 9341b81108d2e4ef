#pragma once
// What the tests share: table rows in one string, a private folder, and a shell of version
// 2.0.1 on the fakes.
#include <gtest/gtest.h>

#include <fstream>

#include "FakePlatform.h"
#include "app/StatusPage.h"

namespace tarnwick::testing_support {

namespace fs = std::filesystem;
using fakes::FakeHttpClient;
using platform::HttpResponse;
using platform::Seconds;

// A table in one text: rows end in ";" (or the text), and "|" parts a row's cells.
inline std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  for (auto end = text.find(separator);; end = text.find(separator)) {
    parts.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) {
      return parts;
    }
    text.remove_prefix(end + 1);
  }
}
inline std::vector<std::string> rows(std::string_view text) {
  return split(text.substr(0, text.size() - text.ends_with(';')), ';');
}
inline std::vector<std::string> cells(std::string_view row) {
  return split(row, '|');
}
// Each row's last cell is what `outcome` makes of its other cells.
template <typename Outcome>
void expectRows(std::string_view table, Outcome outcome) {
  for (const auto& row : rows(table)) {
    auto cell = cells(row);
    auto expected = cell.back();
    cell.pop_back();
    EXPECT_EQ(outcome(cell), expected) << row;
  }
}
// Replaces every "$<letter>" by its text.
inline std::string expand(std::string text, const std::map<char, std::string>& marks) {
  for (auto at = text.find('$'); at != std::string::npos; at = text.find('$', at)) {
    text.replace(at, 2, marks.at(text[at + 1]));
  }
  return text;
}
template <typename Range>
std::string joined(const Range& items, const std::string& separator = " ") {
  std::ostringstream text;
  for (auto each = std::begin(items); each != std::end(items); ++each) {
    text << (each == std::begin(items) ? "" : separator) << *each;
  }
  return text.str();
}
template <typename T>
std::string orDash(const std::optional<T>& value) {
  return value ? std::to_string(*value) : "-";
}

struct TemporaryTree {  // removed with the object
  TemporaryTree() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-unit-XXXXXX").string();
    root = ::mkdtemp(pattern.data()) ? pattern : "/nonexistent";
  }
  ~TemporaryTree() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  // Creates the file and its folders.
  fs::path file(const fs::path& relative, fs::perms mode = fs::perms::owner_read,
                const std::string& text = "#!/bin/sh\n") const {
    fs::create_directories((root / relative).parent_path());
    std::ofstream(root / relative, std::ios::binary) << text;
    fs::permissions(root / relative, mode);
    return root / relative;
  }
  fs::path root;
};

inline std::string readAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}
inline HttpResponse server(const std::string& value) {
  return FakeHttpClient::status(200, {{"Server", value}});
}
inline const HttpResponse healthy = server("TarnwickDesktop/2.0.1");
inline const HttpResponse refused = FakeHttpClient::transportError("Could not connect.");

class Shell : public testing::Test {
 protected:
  Shell() {
    platform.bundle.info["CFBundleShortVersionString"] = std::string("2.0.1");
    platform.userFolders.homeFolder = tree.root / "home";
    platform.userFolders.supportFolder = tree.root / "data";
    platform.userFolders.temporaryFolder = tree.root / "tmp";
    delegate = platform.makeDelegate();
  }
  void launch() { delegate->applicationDidFinishLaunching(); }
  // Answers the oldest open health check and runs what it handed over.
  void answer(const HttpResponse& response) {
    platform.http.respondNext(response);
    platform.mainQueue.runUntilIdle();
  }
  // Answers every health check with `response` until the series stops; the number answered.
  int answerAll(const HttpResponse& response) {
    int checks = 0;
    while (platform.http.unanswered() > 0 || platform.mainQueue.pending() > 0) {
      if (platform.http.unanswered() == 0) {
        platform.mainQueue.advance(Seconds(0.5));
        continue;
      }
      answer(response);
      ++checks;
    }
    return checks;
  }
  int healthChecks() const {
    return static_cast<int>(std::ranges::count_if(platform.http.requests, [](auto& pending) {
      return pending.request.url == FakeHttpClient::health;
    }));
  }
  fakes::FakeWebView& page() { return *platform.application.webView; }
  fakes::FakeWindow& window() { return *platform.application.window; }
  std::string status() { return page().pages.empty() ? "" : page().pages.back(); }
  // The newest sheet as "title|text|style|buttons…".
  std::string sheet() {
    static const char* styles[] = {"informational", "warning", "critical"};
    const auto& alert = window().sheets.back().alert;
    return alert.messageText + "|" + alert.informativeText + "|" +
           styles[static_cast<int>(alert.style)] + "|" + joined(alert.buttons, "|");
  }

  TemporaryTree tree;
  fakes::FakePlatform platform;
  std::shared_ptr<app::TarnwickAppDelegate> delegate;
};

}  // namespace tarnwick::testing_support
