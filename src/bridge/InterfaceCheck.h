#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "bridge/LoadedInterface.h"

namespace tarnwick::bridge {

// The Connector's answer about the interface it offers. Every member is optional; a member of any
// type other than string or null makes the whole answer undecodable.
struct InterfaceCheck {
  std::optional<std::string> clientVersion;
  std::optional<std::string> clientSource;
  std::optional<std::string> clientInstalledAt;
  std::optional<std::string> lastResult;
  std::optional<std::string> lastError;
  bool operator==(const InterfaceCheck&) const = default;
};

// An answer larger than this is not read: the real one is well under a kilobyte.
inline constexpr std::size_t maximumInterfaceCheckSize = 1 << 20;

std::optional<InterfaceCheck> decodeInterfaceCheck(std::string_view json);

// The medium date, in the user's locale and time zone, of an internet date-time such as
// 2026-12-05T11:44:13Z or 2026-12-05T12:44:13+01:00 (no fractional seconds); empty for anything
// else, including nothing.
std::string arrivedOn(const std::optional<std::string>& timestamp);

// One of the two ends of a manual check's interface report.
struct InterfaceMessage {
  std::string title;
  std::string message;
  bool operator==(const InterfaceMessage&) const = default;
};
struct InterfaceReloadOffer {
  std::string version;  // the channel version, possibly empty
  bool operator==(const InterfaceReloadOffer&) const = default;
};
using InterfaceOutcome = std::variant<InterfaceMessage, InterfaceReloadOffer>;

// The sheet shown when the page carries no token to ask with.
InterfaceMessage interfaceNotReadyMessage(std::string_view note);

// Chooses what the report ends in, from the Connector's status and answer, the page that asked
// and the note about the desktop app.
InterfaceOutcome interfaceOutcome(std::optional<int> status,
                                  const std::optional<InterfaceCheck>& check,
                                  const LoadedInterface& page, std::string_view note);

// The reload offer's informative text.
std::string reloadOfferText(std::string_view version, std::string_view note);

}  // namespace tarnwick::bridge
