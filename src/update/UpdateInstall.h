#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The fixed words and tools of downloading, verifying and handing over an update.
namespace tarnwick::update {

// Tools, by their canonical paths; the command runner maps them to where this system keeps them.
namespace tools {
inline constexpr std::string_view hdiutil = "/usr/bin/hdiutil";
inline constexpr std::string_view codesign = "/usr/bin/codesign";
inline constexpr std::string_view spctl = "/usr/sbin/spctl";
inline constexpr std::string_view ditto = "/usr/bin/ditto";
inline constexpr std::string_view xattr = "/usr/bin/xattr";
inline constexpr std::string_view shell = "/bin/sh";
// Used by the installer script alone.
inline constexpr std::string_view open = "/usr/bin/open";
inline constexpr std::string_view id = "/usr/bin/id";
inline constexpr std::string_view sleep = "/bin/sleep";
inline constexpr std::string_view rm = "/bin/rm";
}  // namespace tools

// The work directory "TarnwickUpdate-<UUID>" in the user's temporary folder, and its contents.
inline constexpr std::string_view workDirectoryPrefix = "TarnwickUpdate-";
inline constexpr std::string_view imageName = "Tarnwick.dmg";
inline constexpr std::string_view mountPointName = "mount";
inline constexpr std::string_view bundleName = "Tarnwick.app";
inline constexpr std::string_view scriptName = "install.sh";

inline constexpr double downloadTimeoutSeconds = 600.0;
// Between starting the installer and asking the application to quit.
inline constexpr double terminationDelaySeconds = 0.6;

// Why an update was not installed; each finishes the sentence of failureMessage.
namespace reasons {
inline constexpr std::string_view download = "the download did not finish";
inline constexpr std::string_view prepare = "the download could not be prepared";
inline constexpr std::string_view checksum =
    "the download did not match the checksum Tarnwick published";
inline constexpr std::string_view open = "the download could not be opened";
inline constexpr std::string_view signature =
    "the download was not a version Apple and Tarnwick both signed";
inline constexpr std::string_view unpack = "the new version could not be unpacked";
inline constexpr std::string_view write = "the installer could not be written";
inline constexpr std::string_view start = "the installer could not be started";
}  // namespace reasons

inline constexpr std::string_view failureTitle = "Tarnwick Could Not Update";
std::string failureMessage(std::string_view reason);

std::string downloadingStatus(std::string_view version);
std::string verifyingStatus(std::string_view version);
std::string installingStatus(std::string_view version);

// The code-signing requirement a downloaded bundle must satisfy.
std::string designatedRequirement(std::string_view bundleIdentifier, std::string_view team);

// A fresh version-4 UUID in canonical upper-case text.
std::string makeUUID();

// Removes the work directory and everything in it, errors ignored. A folder left read-only (an
// image whose detach failed part-way) is opened up first, so nothing stays behind for want of it.
void removeWorkDirectory(const std::filesystem::path& work);

// Both digests as text; letter case does not count.
bool sameDigest(std::string_view a, std::string_view b);

}  // namespace tarnwick::update
