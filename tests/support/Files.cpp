#include "Files.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace tarnwick::testsupport {

namespace fs = std::filesystem;

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data())) {
    path_ = pattern;
  }
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  // Folders a test made unwritable must become writable again before they can go.
  for (fs::recursive_directory_iterator it(path_, ignored), end; !ignored && it != end;
       it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

void writeScript(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  writeFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    auto& entry = tree[fs::relative(it->path(), root).string()];
    if (it->is_symlink()) {
      entry = "-> " + fs::read_symlink(it->path()).string();
    } else {
      entry = it->is_regular_file() ? readFile(it->path()) : "<folder>";
    }
  }
  return tree;
}

}  // namespace tarnwick::testsupport
