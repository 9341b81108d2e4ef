#pragma once

// The windowed application lives in a module of its own, loaded only when the process goes on
// past support control: a support command then starts without mapping and relocating the GTK and
// WebKit libraries, which cost it more than a hundred milliseconds.

#include "app/Main.h"

namespace tarnwick::platform::linux_desktop {

// The module's file, in the bundle's Contents/Frameworks.
inline constexpr const char* desktopModuleFile = "libtarnwick-desktop.so";

// The module's one entry: the rest of the start (visible instance, application) for these
// arguments. The caller owns the result and must delete it before unloading the module.
inline constexpr const char* desktopStartupSymbol = "tarnwick_desktop_startup";
using DesktopStartupEntry = app::Startup* (*)(int argc, char** argv);

}  // namespace tarnwick::platform::linux_desktop
