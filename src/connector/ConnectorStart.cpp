// Connector start and health.
#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

void TarnwickAppDelegate::connect() {}
void TarnwickAppDelegate::checkConnector(std::function<void(bool)> completion) { completion(false); }
void TarnwickAppDelegate::startConnector() {}
void TarnwickAppDelegate::pollConnector() {}
void TarnwickAppDelegate::showFailure(const std::string& message) { showStatus(message); }
void TarnwickAppDelegate::stopStaleConnectorListener() {}
void TarnwickAppDelegate::removeLegacyLaunchAgent() {}

bool TarnwickAppDelegate::run(const std::string& path, const std::vector<std::string>& arguments) {
  return platform_.commands.run(path, arguments);
}

std::string TarnwickAppDelegate::capture(const std::string& path,
                                         const std::vector<std::string>& arguments) {
  return platform_.commands.capture(path, arguments);
}

}  // namespace tarnwick::app
