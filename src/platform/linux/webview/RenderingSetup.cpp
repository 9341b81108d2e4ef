#include "platform/linux/webview/RenderingSetup.h"

#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tarnwick::platform::linux_desktop {

namespace {

// The EGL vendors the GL dispatch library loads; a file that names none gives no EGL display,
// and the engine then asks GTK for no GL context either.
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
  // A list the user chose is theirs to keep, and with a GPU nothing changes.
  if (std::getenv(eglVendors) == nullptr && !hasRenderNode()) {
    gl.hidden_ = ::setenv(eglVendors, "/dev/null", 0) == 0;
  }
  return gl;
}

void UiProcessGl::makeDefaultWebContext() {
  webkit_web_context_get_default();
  if (hidden_) {
    hidden_ = false;
    ::unsetenv(eglVendors);
  }
}

}  // namespace tarnwick::platform::linux_desktop
