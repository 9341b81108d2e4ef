// Reads the running application called "Tarnwick" through the accessibility bus, as a screen
// reader would, or presses one of its buttons or menu items by name.
//
//   AccessibilityProbe [--press NAME]
//
// Prints, in accessible order, "alert" for each alert or dialog, "button: NAME" for each push
// button and "text: TEXT" for every other piece of text (its line breaks written "\n"). Exit
// status 0 when something was read (or pressed), 1 when not, 2 without a bus.
#include <atspi/atspi.h>

#include <cstdio>
#include <string>

namespace {

std::string nameOf(AtspiAccessible* node) {
  gchar* name = atspi_accessible_get_name(node, nullptr);
  std::string result = name ? name : "";
  g_free(name);
  return result;
}

// The node's own text, without the stand-ins for embedded children, trimmed.
std::string textOf(AtspiAccessible* node) {
  std::string result;
  if (AtspiText* text = atspi_accessible_get_text_iface(node)) {
    gint count = atspi_text_get_character_count(text, nullptr);
    if (gchar* characters = count > 0 ? atspi_text_get_text(text, 0, count, nullptr) : nullptr) {
      result = characters;
      g_free(characters);
    }
    g_object_unref(text);
  }
  for (auto at = result.find("\xEF\xBF\xBC"); at != std::string::npos;
       at = result.find("\xEF\xBF\xBC")) {
    result.erase(at, 3);
  }
  auto first = result.find_first_not_of(" \n\t"), last = result.find_last_not_of(" \n\t");
  return first == std::string::npos ? "" : result.substr(first, last - first + 1);
}

// Reads, or presses `press`; true when something was printed or pressed.
bool visit(AtspiAccessible* node, const char* press, int depth) {
  AtspiRole role = atspi_accessible_get_role(node, nullptr);
  bool done = false;
  if (press) {
    if ((role == ATSPI_ROLE_PUSH_BUTTON || role == ATSPI_ROLE_MENU_ITEM) && nameOf(node) == press) {
      AtspiAction* action = atspi_accessible_get_action_iface(node);
      done = action && atspi_action_do_action(action, 0, nullptr);
      g_clear_object(&action);
      return done;
    }
  } else if (role == ATSPI_ROLE_PUSH_BUTTON) {
    std::printf("button: %s\n", nameOf(node).c_str());
    return true;
  } else if (role == ATSPI_ROLE_ALERT || role == ATSPI_ROLE_DIALOG) {
    std::printf("alert\n");
    done = true;
  } else if (auto text = textOf(node); !text.empty()) {
    for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
      text.replace(at, 1, "\\n");
    }
    std::printf("text: %s\n", text.c_str());
    done = true;
  }
  gint count = depth < 64 ? atspi_accessible_get_child_count(node, nullptr) : 0;
  for (gint index = 0; index < count && !(press && done); ++index) {
    if (AtspiAccessible* child = atspi_accessible_get_child_at_index(node, index, nullptr)) {
      done = visit(child, press, depth + 1) || done;
      g_object_unref(child);
    }
  }
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  const char* press = argc == 3 && std::string(argv[1]) == "--press" ? argv[2] : nullptr;
  if (atspi_init() > 1) {
    return 2;
  }
  atspi_set_timeout(3000, 3000);  // a busy application must not hold the probe up for long
  AtspiAccessible* desktop = atspi_get_desktop(0);
  bool done = false;
  gint count = desktop ? atspi_accessible_get_child_count(desktop, nullptr) : 0;
  for (gint index = 0; index < count; ++index) {
    if (AtspiAccessible* application =
            atspi_accessible_get_child_at_index(desktop, index, nullptr)) {
      if (nameOf(application) == "Tarnwick") {
        done = visit(application, press, 0) || done;
      }
      g_object_unref(application);
    }
  }
  return done ? 0 : 1;
}
