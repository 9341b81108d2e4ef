#include "platform/linux/bundle/LinuxBundle.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace tarnwick::platform::linux_desktop {

LinuxBundle::LinuxBundle(std::optional<std::filesystem::path> bundle)
    : bundle_(std::move(bundle)) {}

LinuxBundle LinuxBundle::ofRunningExecutable() {
  return LinuxBundle(bundleOfRunningExecutable());
}

InfoValue LinuxBundle::infoValue(const std::string& key) {
  if (!bundle_) {
    return InfoAbsent{};
  }
  std::ifstream file(*bundle_ / "Contents" / "Info.plist", std::ios::binary);
  if (!file) {
    return InfoAbsent{};
  }
  std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  if (!root) {
    return InfoAbsent{};
  }
  std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) {
    return InfoAbsent{};
  }
  plist_t node = plist_dict_get_item(root, key.c_str());
  if (!node) {
    return InfoAbsent{};
  }
  if (plist_get_node_type(node) != PLIST_STRING) {
    return InfoOther{};
  }
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value ? value : "";
  std::free(value);
  return text;
}

std::optional<std::string> LinuxBundle::bundleIdentifier() {
  auto value = infoValue("CFBundleIdentifier");
  if (auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  return std::nullopt;
}

}  // namespace tarnwick::platform::linux_desktop
