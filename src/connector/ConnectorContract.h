#pragma once

#include <array>
#include <string_view>

// What the shell relies on from the Connector, its companion process.
namespace tarnwick::connector {

inline constexpr std::string_view localURL = "http://127.0.0.1:8766/";
inline constexpr std::string_view host = "127.0.0.1";
inline constexpr int port = 8766;

// A Connector names itself in its "Server" header: this prefix followed by its version.
inline constexpr std::string_view signaturePrefix = "TarnwickDesktop/";

inline constexpr std::string_view connectorBundleIdentifier = "com.ostrel.tarnwick.macos";
inline constexpr std::string_view legacyLaunchdLabel = "com.tarnwick.desktop";

// Inside this application's bundle.
inline constexpr std::string_view loginItemBundle = "Contents/Library/LoginItems/Tarnwick Connector.app";
inline constexpr std::string_view loginItemExecutable = "Contents/MacOS/Tarnwick Connector";
// Inside the user's application data folder.
inline constexpr std::string_view fallbackExecutable =
    "Tarnwick/Tarnwick Connector.app/Contents/MacOS/Tarnwick";
inline constexpr std::array<std::string_view, 2> fallbackArguments = {"run", "--no-browser"};
// Inside the user's home folder.
inline constexpr std::string_view legacyLaunchAgent = "Library/LaunchAgents/com.tarnwick.desktop.plist";

// Page contract.
inline constexpr std::string_view pairingPagePath = "/support";
inline constexpr std::string_view clientCheckPath = "api/client-check";
inline constexpr std::string_view csrfHeader = "X-Tarnwick-CSRF";
inline constexpr std::string_view versionMeta = "tarnwick-client-version";
inline constexpr std::string_view sourceMeta = "tarnwick-client-source";
inline constexpr std::string_view csrfMeta = "tarnwick-desktop-csrf";
inline constexpr std::string_view unlockMessageName = "tarnwickFinancialUnlock";
inline constexpr std::string_view unlockEventName = "tarnwick-financial-unlock";

// System tools, by their canonical paths.
namespace tools {
inline constexpr std::string_view launchctl = "/bin/launchctl";
inline constexpr std::string_view lsof = "/usr/sbin/lsof";
inline constexpr std::string_view kill = "/bin/kill";
}  // namespace tools

}  // namespace tarnwick::connector
