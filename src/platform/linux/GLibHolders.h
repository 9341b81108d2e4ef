#pragma once

// Owners of GLib and GObject resources: each reference taken is given back once, on every path.

#include <glib-object.h>

#include <memory>

namespace tarnwick::platform::linux_desktop {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
// A reference to a GObject, given back with g_object_unref.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes a reference of its own to an object that someone else keeps.
template <typename T>
GObjectPtr<T> retained(T* object) {
  return GObjectPtr<T>(static_cast<T*>(g_object_ref(object)));
}

// Owns a new object, sinking its floating reference (widgets, views, messages).
template <typename T>
GObjectPtr<T> sunk(T* object) {
  return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

struct GDateTimeUnref {
  void operator()(GDateTime* time) const { g_date_time_unref(time); }
};
using GDateTimePtr = std::unique_ptr<GDateTime, GDateTimeUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
// A string (or array) to give back with g_free.
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

}  // namespace tarnwick::platform::linux_desktop
