#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "update/TarnwickRelease.h"

namespace tarnwick::update {

// A manifest larger than this is not read at all: the real one is a few hundred bytes.
inline constexpr std::size_t maximumManifestSize = 1 << 20;

// The release the manifest describes, or nothing when any of its five members breaks the rules:
// "version", "download_url" and "sha256" strings, "build" an integer that fits 64 bits,
// "release_notes" absent, null or a string. Other members are ignored.
std::optional<TarnwickRelease> decodeRelease(std::string_view json);

// The download address exactly as the manifest wrote it, when the whole release may be trusted:
// a three-number version, a lowercase SHA-256 digest, and an https address on the service host
// whose path is the download path, with no user information, query or fragment.
std::optional<std::string> trustedDownloadURL(const TarnwickRelease& release);

// True when `candidate` is strictly newer than `current`, compared piece by dotted piece as
// numbers; a piece that is not a whole number counts as 0, a missing one too.
bool isNewerVersion(std::string_view candidate, std::string_view current);

}  // namespace tarnwick::update
