// Reads what a running application's web view shows, through the accessibility bus, the way a
// screen reader would: one line for each piece of text in its web documents, in document order.
//
//   PageTextProbe [--application NAME]   (default "Tarnwick")
//
// Exit status 0 when a web document was found (it may hold no text), 1 when none was, 2 when the
// accessibility bus could not be reached.
#include <cstdio>
#include <string>
#include <vector>

#include "Accessibility.h"

namespace {

using namespace probe;

// Children embedded in a text stand in it as U+FFFC; they are read on their own.
constexpr std::string_view objectReplacement = "\xEF\xBF\xBC";

std::string ownText(AtspiAccessible* node) {
  std::string result = textOf(node).value_or("");
  for (auto at = result.find(objectReplacement); at != std::string::npos;
       at = result.find(objectReplacement, at)) {
    result.erase(at, objectReplacement.size());
  }
  auto first = result.find_first_not_of(" \n\t");
  auto last = result.find_last_not_of(" \n\t");
  return first == std::string::npos ? std::string() : result.substr(first, last - first + 1);
}

void collectText(AtspiAccessible* node, std::vector<std::string>& lines, int depth) {
  if (depth > 64) {
    return;
  }
  if (auto text = ownText(node); !text.empty()) {
    lines.push_back(text);
  }
  eachChild(node, [&](AtspiAccessible* child) { collectText(child, lines, depth + 1); });
}

// Web documents anywhere below the node; a document inside another one (a frame) is read as
// part of it.
void findDocuments(AtspiAccessible* node, std::vector<std::string>& lines, bool& found, int depth) {
  if (depth > 64) {
    return;
  }
  if (roleOf(node) == ATSPI_ROLE_DOCUMENT_WEB) {
    found = true;
    collectText(node, lines, depth);
    return;
  }
  eachChild(node, [&](AtspiAccessible* child) { findDocuments(child, lines, found, depth + 1); });
}

}  // namespace

int main(int argc, char** argv) {
  std::string application = "Tarnwick";
  for (int index = 1; index + 1 < argc; ++index) {
    if (std::string(argv[index]) == "--application") {
      application = argv[++index];
    }
  }
  std::vector<std::string> lines;
  bool found = false;
  if (!eachApplication(application,
                       [&](AtspiAccessible* app) { findDocuments(app, lines, found, 0); })) {
    return 2;
  }
  for (const auto& line : lines) {
    std::printf("%s\n", line.c_str());
  }
  return found ? 0 : 1;
}
