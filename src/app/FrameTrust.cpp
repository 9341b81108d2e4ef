#include "app/FrameTrust.h"

#include "connector/ConnectorContract.h"

namespace tarnwick::app {

bool isConnectorOrigin(const platform::SecurityOrigin& origin) {
  return origin.protocol == "http" && origin.host == connector::host &&
         origin.port == connector::port;
}

bool isTrustedFrame(const platform::FrameInfo& frame) {
  return frame.isMainFrame && isConnectorOrigin(frame.origin);
}

}  // namespace tarnwick::app
