#include "platform/linux/bundle/LinuxBundle.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstring>
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
  // By pointer and length: libplist aborts when asked to copy a string holding a NUL. Such a
  // string is no text a bundle means.
  std::uint64_t length = 0;
  const char* value = plist_get_string_ptr(node, &length);
  if (value && std::memchr(value, '\0', length) != nullptr) {
    return InfoOther{};
  }
  return value ? std::string(value, length) : std::string();
}

std::optional<std::string> LinuxBundle::bundleIdentifier() {
  auto value = infoValue("CFBundleIdentifier");
  if (auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  return std::nullopt;
}

}  // namespace tarnwick::platform::linux_desktop
