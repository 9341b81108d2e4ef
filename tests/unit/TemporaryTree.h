#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace tarnwick::testing_support {

// A private folder under the system's temporary folder, removed with the object.
class TemporaryTree {
 public:
  TemporaryTree() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarnwick-unit-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
      root_ = pattern;
    }
  }
  ~TemporaryTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TemporaryTree(const TemporaryTree&) = delete;
  TemporaryTree& operator=(const TemporaryTree&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // Creates the file with its folders and gives it `mode`.
  std::filesystem::path file(const std::filesystem::path& relative, std::filesystem::perms mode,
                             const std::string& contents = "#!/bin/sh\n") const {
    auto path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << contents;
    std::filesystem::permissions(path, mode);
    return path;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace tarnwick::testing_support
