#pragma once

// Where the running program's bundle is, without reading anything inside it: the executable
// needs this before any library of the windowed application is loaded.

#include <filesystem>
#include <optional>

namespace tarnwick::platform::linux_desktop {

// The bundle is the "X.app" folder whose Contents/MacOS holds the executable.
std::optional<std::filesystem::path> bundleContaining(const std::filesystem::path& executable);

// The bundle of the running executable, found from /proc/self/exe.
std::optional<std::filesystem::path> bundleOfRunningExecutable();

}  // namespace tarnwick::platform::linux_desktop
