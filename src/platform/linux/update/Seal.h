#pragma once

// The bundle's seal: one line per folder, file and link below the bundle (type, mode, size, SHA-256
// or link target, path), sorted by path, under a header naming the bundle's identifier and
// version. It lives in Contents/_CodeSignature/ beside a detached CMS signature over it.

#include <cstddef>
#include <optional>
#include <string>

namespace tarnwick::update_tools {

inline constexpr const char* sealFolder = "_CodeSignature";  // inside Contents
inline constexpr const char* sealName = "seal";
inline constexpr const char* signatureName = "seal.sig";
inline constexpr std::size_t maxSealSize = 64u << 20;
inline constexpr std::size_t maxSignatureSize = 1u << 20;
inline constexpr std::size_t maxInfoSize = 1u << 20;

// The SHA-256 of everything readable from `fd`, in 1 MiB reads, as 64 lowercase hex digits.
std::optional<std::string> sha256OfDescriptor(int fd);

// A string value of the bundle's Contents/Info.plist, read without following links.
std::optional<std::string> infoString(int bundleFd, const std::string& key);

// The seal the bundle open at `bundleFd` has now; nothing when it holds something no seal may
// cover (a device, a pipe, a socket), is past the limits, or has no identifier and version.
std::optional<std::string> computeSeal(int bundleFd);

// Seal fields: bytes outside printable ASCII, spaces and "%" as %XX.
std::string sealField(const std::string& text);

}  // namespace tarnwick::update_tools
