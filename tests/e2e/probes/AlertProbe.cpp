// Reads the alerts a running application shows, through the accessibility bus, and presses a
// button or menu item by its name, the way a screen reader user would.
//
//   AlertProbe [--application NAME] [--press NAME]   (default application "Tarnwick")
//
// Prints, for each alert or dialog, "alert" and then one line for each piece of text ("text: …")
// and each push button ("button: …") in accessible order; line breaks inside a text are written as
// "\n". With --press, performs the first action of the first push button or menu item of that
// name instead. Exit status 0 when an alert was found (or the press was made), 1 when not, 2 when
// the accessibility bus could not be reached.
#include <atspi/atspi.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

std::string nameOf(AtspiAccessible* node) {
  GError* error = nullptr;
  gchar* name = atspi_accessible_get_name(node, &error);
  g_clear_error(&error);
  std::string result = name ? name : "";
  g_free(name);
  return result;
}

AtspiRole roleOf(AtspiAccessible* node) {
  GError* error = nullptr;
  AtspiRole role = atspi_accessible_get_role(node, &error);
  g_clear_error(&error);
  return role;
}

std::string textOf(AtspiAccessible* node) {
  AtspiText* text = atspi_accessible_get_text_iface(node);
  if (!text) {
    return nameOf(node);
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
  return result;
}

std::string escaped(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '\n') {
      result += "\\n";
    } else {
      result += c;
    }
  }
  return result;
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

void readAlert(AtspiAccessible* node, std::vector<std::string>& lines, int depth) {
  if (depth > 32) {
    return;
  }
  AtspiRole role = roleOf(node);
  if (role == ATSPI_ROLE_LABEL) {
    if (auto text = textOf(node); !text.empty()) {
      lines.push_back("text: " + escaped(text));
    }
    return;
  }
  if (role == ATSPI_ROLE_PUSH_BUTTON) {
    lines.push_back("button: " + nameOf(node));
    return;
  }
  eachChild(node, [&](AtspiAccessible* child) { readAlert(child, lines, depth + 1); });
}

void findAlerts(AtspiAccessible* node, std::vector<std::string>& lines, int depth) {
  if (depth > 4) {
    return;
  }
  AtspiRole role = roleOf(node);
  if (role == ATSPI_ROLE_ALERT || role == ATSPI_ROLE_DIALOG) {
    lines.push_back("alert");
    readAlert(node, lines, 0);
    return;
  }
  eachChild(node, [&](AtspiAccessible* child) { findAlerts(child, lines, depth + 1); });
}

bool press(AtspiAccessible* node, const std::string& name, int depth) {
  if (depth > 40) {
    return false;
  }
  AtspiRole role = roleOf(node);
  if ((role == ATSPI_ROLE_PUSH_BUTTON || role == ATSPI_ROLE_MENU_ITEM) && nameOf(node) == name) {
    AtspiAction* action = atspi_accessible_get_action_iface(node);
    if (!action) {
      return false;
    }
    GError* error = nullptr;
    bool done = atspi_action_do_action(action, 0, &error) && !error;
    g_clear_error(&error);
    g_object_unref(action);
    return done;
  }
  bool done = false;
  eachChild(node, [&](AtspiAccessible* child) {
    if (!done) {
      done = press(child, name, depth + 1);
    }
  });
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  std::string application = "Tarnwick";
  std::optional<std::string> pressed;
  for (int index = 1; index + 1 < argc; index += 2) {
    std::string option = argv[index];
    if (option == "--application") {
      application = argv[index + 1];
    } else if (option == "--press") {
      pressed = argv[index + 1];
    }
  }
  if (atspi_init() > 1) {
    return 2;
  }
  atspi_set_timeout(3000, 3000);
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (!desktop) {
    return 2;
  }
  std::vector<std::string> lines;
  bool done = false;
  eachChild(desktop, [&](AtspiAccessible* app) {
    if (nameOf(app) != application) {
      return;
    }
    if (pressed) {
      done = done || press(app, *pressed, 0);
    } else {
      findAlerts(app, lines, 0);
    }
  });
  g_object_unref(desktop);
  for (const auto& line : lines) {
    std::printf("%s\n", line.c_str());
  }
  return (pressed ? done : !lines.empty()) ? 0 : 1;
}
