#include "platform/linux/bundle/BundleLocation.h"

#include <system_error>

namespace tarnwick::platform::linux_desktop {

std::optional<std::filesystem::path> bundleContaining(const std::filesystem::path& executable) {
  if (!executable.has_filename()) {
    return std::nullopt;  // a folder, not an executable
  }
  auto macOS = executable.parent_path();
  auto contents = macOS.parent_path();
  auto bundle = contents.parent_path();
  if (macOS.filename() != "MacOS" || contents.filename() != "Contents" ||
      bundle.extension() != ".app") {
    return std::nullopt;
  }
  return bundle;
}

std::optional<std::filesystem::path> bundleOfRunningExecutable() {
  std::error_code error;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return std::nullopt;
  }
  return bundleContaining(executable);
}

}  // namespace tarnwick::platform::linux_desktop
