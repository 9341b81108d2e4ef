#include "platform/linux/webview/FrameAttribution.h"

#include <algorithm>

namespace tarnwick::platform::linux_desktop {

SecurityOrigin parseSerializedOrigin(const std::string& serialized) {
  auto separator = serialized.find("://");
  if (separator == std::string::npos || separator == 0) {
    return {};
  }
  SecurityOrigin origin;
  origin.protocol = serialized.substr(0, separator);
  std::string rest = serialized.substr(separator + 3);
  if (rest.find_first_of("/?#@") != std::string::npos) {
    return {};  // an origin has no path, query, fragment or user
  }
  // The port follows the last colon, unless that colon is inside a bracketed IPv6 address.
  auto colon = rest.rfind(':');
  auto bracket = rest.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return {};
    }
    int port = std::stoi(digits);
    if (port < 1 || port > 65535) {
      return {};
    }
    origin.port = port;
    rest.resize(colon);
  }
  origin.host = rest;
  return origin;
}

void FrameAttribution::received(FrameReport report) {
  latest_[report.kind] = report;
  pending_.push_back(std::move(report));
}

void FrameAttribution::done(const std::string& kind, std::uint64_t serial) {
  std::erase_if(pending_, [&](const FrameReport& report) {
    return report.kind == kind && report.serial == serial;
  });
}

FrameInfo FrameAttribution::attributePending(const std::string& kind,
                                             const std::optional<std::string>& text) {
  auto latest = std::find_if(pending_.rbegin(), pending_.rend(),
                             [&](const FrameReport& report) { return report.kind == kind; });
  if (latest == pending_.rend()) {
    return untrusted();
  }
  // Reports of two frames at once: either could have raised the event.
  bool oneFrame = std::all_of(pending_.begin(), pending_.end(), [&](const FrameReport& report) {
    return report.kind != kind || report.frameID == latest->frameID;
  });
  if (!oneFrame || (text && *text != latest->text)) {
    return untrusted();
  }
  FrameInfo frame = latest->frame;
  pending_.erase(std::next(latest).base());
  return frame;
}

FrameInfo FrameAttribution::attributeLatest(const std::string& kind) {
  auto found = latest_.find(kind);
  if (found == latest_.end()) {
    return untrusted();
  }
  FrameInfo frame = found->second.frame;
  latest_.erase(found);
  return frame;
}

void FrameAttribution::reset() {
  pending_.clear();
  latest_.clear();
}

}  // namespace tarnwick::platform::linux_desktop
