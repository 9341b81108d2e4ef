#include "platform/linux/webview/RenderingSetup.h"

#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tarnwick::platform::linux_desktop {

namespace {

// GTK's switch for its GL support (read once, when it starts), and the list of EGL vendors the
// dispatch library loads (a file that names none: no vendor, no EGL display).
constexpr const char* gdkGl = "GDK_GL";
constexpr const char* eglVendors = "__EGL_VENDOR_LIBRARY_FILENAMES";

}  // namespace

bool hasRenderNode() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
    if (entry.path().filename().string().starts_with("renderD") &&
        ::access(entry.path().c_str(), R_OK | W_OK) == 0) {
      return true;
    }
  }
  return false;
}

UiProcessGl UiProcessGl::keepOutWithoutRenderNode() {
  UiProcessGl gl;
  // A choice the user made for either is theirs to keep, and with a GPU nothing changes.
  if (std::getenv(gdkGl) || std::getenv(eglVendors) || hasRenderNode()) {
    return gl;
  }
  gl.hidden_ = ::setenv(gdkGl, "disable", 0) == 0 && ::setenv(eglVendors, "/dev/null", 0) == 0;
  if (!gl.hidden_) {
    ::unsetenv(gdkGl);
    ::unsetenv(eglVendors);
  }
  return gl;
}

void UiProcessGl::makeDefaultWebContext() {
  webkit_web_context_get_default();
  if (hidden_) {
    hidden_ = false;
    ::unsetenv(gdkGl);
    ::unsetenv(eglVendors);
  }
}

}  // namespace tarnwick::platform::linux_desktop
