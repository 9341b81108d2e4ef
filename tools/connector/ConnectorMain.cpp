// The stand-in Connector's process: serve until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdlib>
#include <iostream>

#include "BundleVersion.h"
#include "StandInConnector.h"

int main(int argc, char** argv) {
  using tarnwick::standin::ownBundleVersion;
  // Run from a bundle it is that bundle's Connector and names the bundle's version.
  const char* environmentVersion = std::getenv("TARNWICK_CONNECTOR_VERSION");
  auto options = tarnwick::standin::parseArguments(
      std::vector<std::string>(argv + 1, argv + argc), environmentVersion ? environmentVersion : "",
      ownBundleVersion().value_or(TARNWICK_CONNECTOR_DEFAULT_VERSION));
  if (!options) {
    std::cerr << "usage: " << argv[0]
              << " [run] [--no-browser] [--version V] [--interface-version V] [--client-source S]"
                 " [--port N] [--extra-port N]...\n";
    return 2;
  }

  // The serving threads inherit this mask, so the signals wait for the main thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  tarnwick::standin::StandInConnector connector(*options);
  if (!connector.start()) {
    std::cerr << "cannot listen on " << options->host << ":" << options->port
              << " (or an extra port)\n";
    return 1;
  }
  std::cerr << "serving TarnwickDesktop/" << options->version << " on " << options->host << ":"
            << options->port << std::endl;
  int received = 0;
  sigwait(&stopSignals, &received);
  connector.stop();
  return 0;
}
