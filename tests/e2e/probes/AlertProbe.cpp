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
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Accessibility.h"

namespace {

using namespace probe;

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

void readAlert(AtspiAccessible* node, std::vector<std::string>& lines, int depth) {
  if (depth > 32) {
    return;
  }
  AtspiRole role = roleOf(node);
  if (role == ATSPI_ROLE_LABEL) {
    if (auto text = textOf(node).value_or(nameOf(node)); !text.empty()) {
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
  std::vector<std::string> lines;
  bool done = false;
  if (!eachApplication(application, [&](AtspiAccessible* app) {
        if (pressed) {
          done = done || press(app, *pressed, 0);
        } else {
          findAlerts(app, lines, 0);
        }
      })) {
    return 2;
  }
  for (const auto& line : lines) {
    std::printf("%s\n", line.c_str());
  }
  return (pressed ? done : !lines.empty()) ? 0 : 1;
}
