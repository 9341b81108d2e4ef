// Clearing what an older or stale Connector left behind, before a fresh start.
#include <filesystem>
#include <string>
#include <system_error>

#include "app/TarnwickAppDelegate.h"
#include "connector/ConnectorContract.h"
#include "connector/ConnectorHealth.h"

namespace tarnwick::app {

void TarnwickAppDelegate::removeLegacyLaunchAgent() {
  // Usually there is nothing to remove; any error is as good as success here.
  std::error_code ignored;
  std::filesystem::remove(platform_.userFolders.home() / connector::legacyLaunchAgent, ignored);
}

void TarnwickAppDelegate::stopStaleConnectorListener() {
  auto output = capture(std::string(connector::tools::lsof),
                        {"-nP", "-tiTCP:" + std::to_string(connector::port), "-sTCP:LISTEN"});
  // The health check that set the stale flag already named the listener a Connector; whether
  // it really stops is left to the next checks.
  for (auto id : connector::listenerProcessIds(output)) {
    run(std::string(connector::tools::kill), {"-TERM", std::to_string(id)});
  }
}

}  // namespace tarnwick::app
