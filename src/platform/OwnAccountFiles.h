#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

// What the shell trusts because of where it lies on this machine (a program it starts, its work
// folder, its preferences) must be this account's: a file or folder another account can write, or
// a folder above it another account can change, could hold anything by the time it is used.
namespace tarnwick::platform {

// Whether only `user` and root can change what `path` names: it and every folder and link met on
// the way to it belong to one of them, and no folder or file on the way is writable by anyone else
// (a folder with the sticky bit, like the temporary folder, may be: there nobody can rename or
// remove what is ours). Links are followed one name at a time, so each one met is checked.
bool onlyOwnerOrRootCanChange(const std::filesystem::path& path, uid_t user);

// Makes the folder `path`, private to this process's user (mode 0700), inside a parent only that
// user and root can change. A folder already there is never taken over.
bool makePrivateFolder(const std::filesystem::path& path);

// The contents of the regular file at `path` when it belongs to `user` and nobody else may write
// it, of at most `limit` bytes; nothing otherwise.
std::optional<std::string> readOwnFile(const std::filesystem::path& path, uid_t user,
                                       std::size_t limit);

}  // namespace tarnwick::platform
