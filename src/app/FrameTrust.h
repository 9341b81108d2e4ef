#pragma once

#include "platform/WebView.h"

namespace tarnwick::app {

// The Connector's own origin: http, 127.0.0.1, port 8766, compared exactly.
bool isConnectorOrigin(const platform::SecurityOrigin& origin);

// Page dialogs, file pickers and media access are honoured only for the top-level page the
// Connector serves, never for an embedded frame or another origin.
bool isTrustedFrame(const platform::FrameInfo& frame);

}  // namespace tarnwick::app
