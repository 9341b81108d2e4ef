// Clearing what an older or stale Connector left behind, before a fresh start.
#include <unistd.h>

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
  // Only this account's listeners: run as root, the lister names every account's, and another
  // account's process is never ours to signal. "-a" makes the selections hold together.
  auto output = capture(std::string(connector::tools::lsof),
                        {"-nP", "-tiTCP:" + std::to_string(connector::port), "-sTCP:LISTEN", "-a",
                         "-u", std::to_string(::getuid())});
  // The health check that set the stale flag already named the listener a Connector of this
  // account; whether it really stops is left to the next checks.
  for (auto id : connector::listenerProcessIds(output)) {
    run(std::string(connector::tools::kill), {"-TERM", std::to_string(id)});
  }
}

}  // namespace tarnwick::app
