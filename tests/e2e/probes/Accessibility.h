#pragma once

// What the accessibility probes share: names, roles and texts read off the bus, a walk over a
// node's children, and the running applications of a name.

#include <atspi/atspi.h>

#include <optional>
#include <string>

namespace probe {

inline std::string nameOf(AtspiAccessible* node) {
  GError* error = nullptr;
  gchar* name = atspi_accessible_get_name(node, &error);
  g_clear_error(&error);
  std::string result = name ? name : "";
  g_free(name);
  return result;
}

inline AtspiRole roleOf(AtspiAccessible* node) {
  GError* error = nullptr;
  AtspiRole role = atspi_accessible_get_role(node, &error);
  g_clear_error(&error);
  return role;
}

// Nothing when the node has no text at all (as opposed to an empty one).
inline std::optional<std::string> textOf(AtspiAccessible* node) {
  AtspiText* text = atspi_accessible_get_text_iface(node);
  if (!text) {
    return std::nullopt;
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

// Each child is released once it has been visited.
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

// Visits every running application called `name`; false when the bus could not be reached.
template <typename Visit>
bool eachApplication(const std::string& name, Visit visit) {
  if (atspi_init() > 1) {
    return false;
  }
  // A busy application must not hold the probe up for the bus's default 25 seconds.
  atspi_set_timeout(3000, 3000);
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (!desktop) {
    return false;
  }
  eachChild(desktop, [&](AtspiAccessible* application) {
    if (nameOf(application) == name) {
      visit(application);
    }
  });
  g_object_unref(desktop);
  return true;
}

}  // namespace probe
