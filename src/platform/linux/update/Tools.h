#pragma once

// The programs the updater runs by their canonical paths, with the same argument lists. Each
// answers 0 for success and non-zero for anything it refuses.

#include <optional>
#include <string>
#include <vector>

namespace tarnwick::update_tools {

using Arguments = std::vector<std::string>;

// What a tool answers besides 0: a refusal, and arguments of a shape it does not take.
inline constexpr int refused = 1;
inline constexpr int usage = 64;
// Says on standard error why `tool` refuses, and answers `refused`.
int fail(const char* tool, const std::string& why);

// The bundle's main executable as its Info.plist names it, one plain component.
std::optional<std::string> mainExecutable(int bundleFd);

// attach IMAGE -nobrowse -readonly -mountpoint M -quiet | detach M -quiet
int hdiutil(const Arguments& arguments);
// --verify --deep --strict -R =REQUIREMENT BUNDLE, against the pinned root
int codesign(const Arguments& arguments, const std::string& rootPem);
// --assess --type execute BUNDLE
int spctl(const Arguments& arguments);
// SRC DST
int ditto(const Arguments& arguments);
// -dr com.apple.quarantine PATH
int xattr(const Arguments& arguments);
// -n BUNDLE
int open(const Arguments& arguments);
// bootout gui/UID/com.tarnwick.desktop
int launchctl(const Arguments& arguments);

// Runs the tool named `tool` (a canonical path's last component); 64 for an unknown one.
int runTool(const std::string& tool, const Arguments& arguments, const std::string& rootPem);

// Whether the file open at `fd` is an ELF executable this machine runs: this program's own class,
// byte order and machine, and its interpreter, if it names one, present.
bool runsHere(int fd);

}  // namespace tarnwick::update_tools
