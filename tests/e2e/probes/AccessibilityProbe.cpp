// AccessibilityProbe [--press NAME]: reads "Tarnwick" as a screen reader would, printing "alert",
// "button: NAME" and "text: TEXT" (line breaks as "\n") in accessible order, or presses a button
// or menu item. Exits 0 when something was read (or pressed), 1 when not, 2 without a bus.
#include <atspi/atspi.h>

#include <cstdio>
#include <string>

namespace {

std::string nameOf(AtspiAccessible* node) {
  g_autofree gchar* name = atspi_accessible_get_name(node, nullptr);
  return name ? name : "";
}

// The node's own text, trimmed (a container's holds only the stand-ins of its children).
std::string textOf(AtspiAccessible* node) {
  std::string text, result;
  if (AtspiText* iface = atspi_accessible_get_text_iface(node)) {
    g_autofree gchar* characters = atspi_text_get_text(iface, 0, -1, nullptr);
    text = characters ? characters : "";
    g_object_unref(iface);
  }
  auto first = text.find_first_not_of(" \n\t"), last = text.find_last_not_of(" \n\t");
  for (auto at = first; first != std::string::npos && at <= last; ++at) {
    result += text[at] == '\n' ? std::string("\\n") : std::string(1, text[at]);
  }
  return result;
}

// Reads the node and what is below it, or presses `press` there; true when it did either.
bool visit(AtspiAccessible* node, const char* press, int depth) {
  AtspiRole role = atspi_accessible_get_role(node, nullptr);
  bool done = false;
  if (depth == 1 && nameOf(node) != "Tarnwick") {
    return false;  // another application on the bus
  } else if (press && (role == ATSPI_ROLE_PUSH_BUTTON || role == ATSPI_ROLE_MENU_ITEM) &&
             nameOf(node) == press) {
    AtspiAction* action = atspi_accessible_get_action_iface(node);
    done = action && atspi_action_do_action(action, 0, nullptr);
    g_clear_object(&action);
    return done;
  } else if (!press && role == ATSPI_ROLE_PUSH_BUTTON) {
    return std::printf("button: %s\n", nameOf(node).c_str()) > 0;
  } else if (!press && (role == ATSPI_ROLE_ALERT || role == ATSPI_ROLE_DIALOG)) {
    done = std::printf("alert\n") > 0;
  } else if (auto text = press ? "" : textOf(node); !text.empty()) {
    done = std::printf("text: %s\n", text.c_str()) > 0;
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
  if (atspi_init() > 1) {
    return 2;
  }
  atspi_set_timeout(3000, 3000);  // a busy application must not hold the probe up for long
  AtspiAccessible* desktop = atspi_get_desktop(0);
  const char* press = argc == 3 && std::string(argv[1]) == "--press" ? argv[2] : nullptr;
  return desktop && visit(desktop, press, 0) ? 0 : 1;
}
