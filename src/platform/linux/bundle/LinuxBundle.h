#pragma once

#include <filesystem>
#include <optional>

#include "platform/Bundle.h"
#include "platform/linux/bundle/BundleLocation.h"

namespace tarnwick::platform::linux_desktop {

class LinuxBundle final : public Bundle {
 public:
  // `bundle` absent: run from outside a bundle.
  explicit LinuxBundle(std::optional<std::filesystem::path> bundle);
  // The bundle of the running executable, found from /proc/self/exe.
  static LinuxBundle ofRunningExecutable();

  std::optional<std::filesystem::path> bundlePath() override { return bundle_; }
  std::optional<std::string> bundleIdentifier() override;
  InfoValue infoValue(const std::string& key) override;
  InfoValue infoValueAt(const std::filesystem::path& bundle, const std::string& key) override {
    return LinuxBundle(bundle).infoValue(key);
  }

 private:
  std::optional<std::filesystem::path> bundle_;
};

}  // namespace tarnwick::platform::linux_desktop
