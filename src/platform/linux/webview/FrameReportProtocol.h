#pragma once

// What the web-process extension tells the web view about the frames that act. The web process
// knows which frame calls a page function; the UI process's events do not say. Just before a
// frame's call can raise an engine event, the extension sends a report naming the frame; once the
// call has returned, a done message. Both travel in order on the one connection the engine's own
// messages use.

#include <string_view>

namespace tarnwick::platform::linux_desktop::frame_reports {

// Report parameters, as a GVariant: (kind, serial, frame id, is main frame, origin, text).
inline constexpr std::string_view reportMessage = "tarnwick-frame-report";
inline constexpr const char* reportSignature = "(sttbss)";
// Done parameters: (kind, serial).
inline constexpr std::string_view doneMessage = "tarnwick-frame-done";
inline constexpr const char* doneSignature = "(st)";

// Kinds. A script message's kind is the prefix followed by the handler name.
inline constexpr std::string_view alertKind = "alert";
inline constexpr std::string_view confirmKind = "confirm";
inline constexpr std::string_view openPanelKind = "open-panel";
inline constexpr std::string_view mediaKind = "media";
inline constexpr std::string_view messageKindPrefix = "message:";

// A script whose result the web view wants, evaluated by the extension in the main frame's page
// world: parameters (script), reply parameters (maybe result) holding the result when it is a
// string. Done here rather than by the engine's own evaluation, whose result would need a
// JavaScript engine of its own in the UI process (several megabytes of its resident memory).
inline constexpr std::string_view evaluateMessage = "tarnwick-evaluate";
inline constexpr const char* evaluateSignature = "(s)";
inline constexpr const char* evaluateReplySignature = "(ms)";

// The extension's initialisation data: the script-message handler names, as a GVariant "as".
inline constexpr const char* initialisationSignature = "as";

}  // namespace tarnwick::platform::linux_desktop::frame_reports
