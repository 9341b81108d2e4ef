#pragma once

// Gives each page-originated engine event the frame that raised it, from the reports the
// web-process extension sends. Platform-free, so the pairing rules are tested directly.
//
// Every event is attributed only when the reports leave no doubt; otherwise it gets an untrusted
// frame (not the main frame, no origin), which every check refuses.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/WebView.h"

namespace tarnwick::platform::linux_desktop {

// A serialised origin ("http://127.0.0.1:8766", "null") taken apart. An opaque or unreadable origin
// gives the empty origin. A scheme's default port is 0, as the port's SecurityOrigin says.
SecurityOrigin parseSerializedOrigin(const std::string& serialized);

struct FrameReport {
  std::string kind;
  std::uint64_t serial = 0;
  std::uint64_t frameID = 0;
  FrameInfo frame;
  std::string text;
};

class FrameAttribution {
 public:
  void received(FrameReport report);
  void done(const std::string& kind, std::uint64_t serial);

  // An event the engine raises while the reporting call is still running (dialogs, script
  // messages, the open panel). It belongs to the latest pending report of its kind when every
  // pending report of that kind comes from the same frame and, when `text` is given, the latest
  // one carries exactly that text. The report is used up.
  FrameInfo attributePending(const std::string& kind, const std::optional<std::string>& text);

  // An event the engine raises later, after the call has returned (media permission). It belongs
  // to the latest report of its kind since the last reset; the report is used up.
  FrameInfo attributeLatest(const std::string& kind);

  // A new main-frame document or a new web process: nothing reported before can still act.
  void reset();

  static FrameInfo untrusted() { return FrameInfo{}; }

 private:
  std::vector<FrameReport> pending_;           // in the order they arrived
  std::map<std::string, FrameReport> latest_;  // by kind
};

}  // namespace tarnwick::platform::linux_desktop
