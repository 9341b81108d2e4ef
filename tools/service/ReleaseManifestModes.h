#pragma once

namespace httplib {
class Server;
}

namespace tarnwick::servicehost {

// GET /support/mac/latest.json, answered in the mode written in the file that
// TARNWICK_SERVICE_MANIFEST_MODE names, read afresh for every request (no file: "newer"):
//   newer            200, a trusted manifest of version 99.0.0, build 57, with release notes
//   version-X        200, the same with version X (the shell's own, an older one, …)
//   older            200, the same with version 0.0.1
//   build-zero       200, version 99.0.0 with build 0
//   other-host       200, version 99.0.0 downloaded from another host
//   no-content       204, no body
//   not-modified     304, no body
//   server-error     500, a trusted manifest all the same
//   not-json         200, an HTML page
//   slow-N           waits N seconds (at most 120), then answers as newer
//   file PATH        200, the manifest in that file (one the release tooling wrote)
// Each request's method, target and headers are appended as one JSON line to the file that
// TARNWICK_SERVICE_MANIFEST_REQUESTS names, when it is set. Other methods get 405.
void serveReleaseManifest(httplib::Server& server);

}  // namespace tarnwick::servicehost
