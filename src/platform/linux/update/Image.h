#pragma once

// Release images are squashfs files. Attaching one extracts it, without privileges, into the
// mount point; detaching removes what was extracted.

#include <string>

namespace tarnwick::update_tools {

// Extracts `image` into the empty folder `mountPoint` with the stored modes and modification
// times, whatever the umask, then takes write permission off the mount point itself. Refuses
// devices, pipes, sockets, setuid and setgid bits, names that are not one plain component and
// links that point outside the mount point. On any failure nothing is left inside it.
bool attachImage(const std::string& image, const std::string& mountPoint);

// Removes the mount point and everything in it.
bool detachImage(const std::string& mountPoint);

}  // namespace tarnwick::update_tools
