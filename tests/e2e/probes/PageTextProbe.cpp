// Reads what a running application's web view shows, through the accessibility bus, the way a
// screen reader would: one line for each piece of text in its web documents, in document order.
//
//   PageTextProbe [--application NAME]   (default "Tarnwick")
//
// Exit status 0 when a web document was found (it may hold no text), 1 when none was, 2 when the
// accessibility bus could not be reached.
#include <atspi/atspi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Children embedded in a text stand in it as U+FFFC; they are read on their own.
constexpr std::string_view objectReplacement = "\xEF\xBF\xBC";

std::string ownText(AtspiAccessible* node) {
  AtspiText* text = atspi_accessible_get_text_iface(node);
  if (!text) {
    return {};
  }
  std::string result;
  GError* error = nullptr;
  gint count = atspi_text_get_character_count(text, &error);
  if (!error && count > 0) {
    if (gchar* characters = atspi_text_get_text(text, 0, count, &error)) {
      result = characters;
      g_free(characters);
    }
  }
  g_clear_error(&error);
  g_object_unref(text);
  for (auto at = result.find(objectReplacement); at != std::string::npos;
       at = result.find(objectReplacement, at)) {
    result.erase(at, objectReplacement.size());
  }
  auto first = result.find_first_not_of(" \n\t");
  auto last = result.find_last_not_of(" \n\t");
  return first == std::string::npos ? std::string() : result.substr(first, last - first + 1);
}

template <typename Visit>
void eachChild(AtspiAccessible* node, Visit visit) {
  GError* error = nullptr;
  gint count = atspi_accessible_get_child_count(node, &error);
  g_clear_error(&error);
  for (gint index = 0; index < count; ++index) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(node, index, &error);
    g_clear_error(&error);
    if (child) {
      visit(child);
      g_object_unref(child);
    }
  }
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
  GError* error = nullptr;
  AtspiRole role = atspi_accessible_get_role(node, &error);
  g_clear_error(&error);
  if (role == ATSPI_ROLE_DOCUMENT_WEB) {
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
  if (atspi_init() > 1) {
    return 2;
  }
  // A busy application must not hold the probe up for the bus's default 25 seconds.
  atspi_set_timeout(3000, 3000);
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (!desktop) {
    return 2;
  }
  std::vector<std::string> lines;
  bool found = false;
  eachChild(desktop, [&](AtspiAccessible* app) {
    GError* error = nullptr;
    gchar* name = atspi_accessible_get_name(app, &error);
    g_clear_error(&error);
    if (name && application == name) {
      findDocuments(app, lines, found, 0);
    }
    g_free(name);
  });
  g_object_unref(desktop);
  for (const auto& line : lines) {
    std::printf("%s\n", line.c_str());
  }
  return found ? 0 : 1;
}
