#include "bridge/LoadedInterface.h"

#include <nlohmann/json.hpp>

namespace tarnwick::bridge {

namespace {

constexpr std::string_view scrapeScript =
    "JSON.stringify({\n"
    "  version: (document.querySelector('meta[name=\"tarnwick-client-version\"]') || {}).content "
    "|| '',\n"
    "  source: (document.querySelector('meta[name=\"tarnwick-client-source\"]') || {}).content || "
    "'',\n"
    "  csrf: (document.querySelector('meta[name=\"tarnwick-desktop-csrf\"]') || {}).content || ''\n"
    "})";

}  // namespace

std::string_view metaScrapeScript() {
  return scrapeScript;
}

std::optional<LoadedInterface> decodeLoadedInterface(std::string_view json) {
  auto document = nlohmann::json::parse(json, nullptr, false);
  if (!document.is_object()) {
    return std::nullopt;
  }
  LoadedInterface interface;
  for (auto [key, field] :
       {std::pair{"version", &interface.version}, std::pair{"source", &interface.source},
        std::pair{"csrf", &interface.csrf}}) {
    auto member = document.find(key);
    if (member == document.end() || !member->is_string()) {
      return std::nullopt;
    }
    *field = member->get<std::string>();
  }
  return interface;
}

std::string windowTitle(const std::optional<LoadedInterface>& interface,
                        std::string_view currentVersion) {
  if (interface && interface->source == "channel" && !interface->version.empty()) {
    return "Tarnwick \u00b7 Interface " + interface->version;
  }
  return "Tarnwick " + std::string(currentVersion);
}

}  // namespace tarnwick::bridge
