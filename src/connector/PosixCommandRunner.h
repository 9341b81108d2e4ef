#pragma once

#include <functional>
#include <string>

#include "platform/CommandRunner.h"

namespace tarnwick::connector {

// Runs tools with posix_spawn. `locate` maps a tool's canonical path to where this system keeps it.
class PosixCommandRunner final : public platform::CommandRunner {
 public:
  using ToolLocator = std::function<std::string(const std::string& canonicalPath)>;
  explicit PosixCommandRunner(ToolLocator locate = nullptr);

  bool run(const std::string& path, const std::vector<std::string>& arguments) override;
  std::string capture(const std::string& path, const std::vector<std::string>& arguments) override;
  std::function<bool()> launchWatched(const std::string& path,
                                      const std::vector<std::string>& arguments) override;
  bool launch(const std::string& path, const std::vector<std::string>& arguments) override;
  std::string toolLocation(const std::string& canonicalPath) override {
    return locate(canonicalPath);
  }

 private:
  std::string locate(const std::string& path) const;
  ToolLocator locate_;
};

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(const std::string& bytes);

}  // namespace tarnwick::connector
