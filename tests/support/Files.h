#pragma once

// Temporary folders and whole-file reads and writes for tests.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tarnwick::testsupport {

// A temporary folder, removed with everything in it with the object.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix = "tarnwick-test");
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);
// Writes a `#!/bin/sh` script of `body`, executable by its owner, making its folder as needed.
void writeScript(const std::filesystem::path& path, const std::string& body);
// The lines of `text`, without their line ends.
std::vector<std::string> linesOf(const std::string& text);
// Every entry below `root` by relative path: its contents, "<folder>" or "-> target".
std::map<std::string, std::string> treeOf(const std::filesystem::path& root);

}  // namespace tarnwick::testsupport
