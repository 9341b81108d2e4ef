#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tarnwick::update {

// The file's SHA-256 as 64 lowercase hexadecimal digits, read in 1 MiB chunks so memory does not
// grow with the file; nothing when the file cannot be opened or read. Any thread.
std::optional<std::string> sha256(const std::filesystem::path& file);

}  // namespace tarnwick::update
