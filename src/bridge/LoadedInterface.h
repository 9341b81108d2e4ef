#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::bridge {

// What the page says about the interface it carries, read from its meta elements.
struct LoadedInterface {
  std::string version;
  std::string source;  // "channel" for an interface delivered through interface updates
  std::string csrf;
  bool operator==(const LoadedInterface&) const = default;
};

// The script that reads the three meta elements; its result is one JSON text.
std::string_view metaScrapeScript();

// Nothing unless `json` is an object whose "version", "source" and "csrf" are all strings.
std::optional<LoadedInterface> decodeLoadedInterface(std::string_view json);

// "Tarnwick · Interface <version>" for a channel interface with a version, otherwise
// "Tarnwick <currentVersion>".
std::string windowTitle(const std::optional<LoadedInterface>& interface,
                        std::string_view currentVersion);

}  // namespace tarnwick::bridge
