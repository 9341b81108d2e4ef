#pragma once

// The page's request for a device-owner unlock and the shell's answer: pure rules, so they are
// tested (and fuzzed) directly.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::bridge {

// What the authentication prompt says and how its cancel button reads.
inline constexpr std::string_view unlockReason = "Unlock Tarnwick Business financial data";
inline constexpr std::string_view unlockCancelTitle = "Cancel";

// A page message longer or more deeply nested than this is dropped before it is parsed. The page
// sends an object with one short string; the bounds only keep hostile bodies cheap.
inline constexpr std::size_t unlockMessageMaximumBytes = 64 * 1024;
inline constexpr std::size_t unlockMessageMaximumDepth = 32;

// 8 to 100 characters, each an ASCII letter, an ASCII digit or a hyphen.
bool isUnlockRequestIdentifier(std::string_view identifier);

// The request identifier of a message body (the posted value as JSON text): nothing unless the
// body is a JSON object whose "request_id" is a string that is a request identifier.
std::optional<std::string> unlockRequestIdentifier(std::string_view body);

// The script that dispatches the answer into the page:
//   window.dispatchEvent(new CustomEvent('tarnwick-financial-unlock',{detail:<JSON>}));
// where <JSON> is the compact object {"request_id": requestID, "ok": accepted}. Nothing when the
// object cannot be written as JSON (an identifier that is not UTF-8).
std::optional<std::string> financialUnlockScript(const std::string& requestID, bool accepted);

}  // namespace tarnwick::bridge
