#include "BundleVersion.h"

#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace tarnwick::standin {

std::optional<std::string> ownBundleVersion() {
  namespace fs = std::filesystem;
  std::error_code error;
  auto executable = fs::read_symlink("/proc/self/exe", error);
  auto contents = executable.parent_path().parent_path();
  if (error || executable.parent_path().filename() != "MacOS" ||
      contents.filename() != "Contents" || contents.parent_path().extension() != ".app") {
    return std::nullopt;
  }
  std::ifstream file(contents / "Info.plist", std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file || data.size() > (1u << 20)) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  if (!root) {
    return std::nullopt;
  }
  std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
  plist_t node = plist_get_node_type(root) == PLIST_DICT
                     ? plist_dict_get_item(root, "CFBundleShortVersionString")
                     : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) {
    return std::nullopt;
  }
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::optional<std::string> version;
  if (value && *value) {
    version = value;
  }
  std::free(value);
  return version;
}

}  // namespace tarnwick::standin
