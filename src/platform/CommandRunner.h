#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarnwick::platform {

// Runs external tools. The path is taken literally (no search, no shell) and the arguments reach
// the tool unchanged. Paths are the system's canonical ones; the implementation may map a path to
// where this system keeps the same tool.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;

  // True only when the tool started and exited with status 0. Output is discarded.
  virtual bool run(const std::string& path, const std::vector<std::string>& arguments) = 0;
  // The tool's standard output as UTF-8; "" when it did not start or wrote invalid UTF-8.
  virtual std::string capture(const std::string& path,
                              const std::vector<std::string>& arguments) = 0;
  // Starts the tool detached with its output discarded, without waiting. The answer asks later
  // whether that copy still runs (false once it ended, or when it never started).
  virtual std::function<bool()> launchWatched(const std::string& path,
                                              const std::vector<std::string>& arguments) = 0;
  // Starts the tool without waiting for it and without touching its standard streams; it keeps
  // running after this process ends. True when it started.
  virtual bool launch(const std::string& path, const std::vector<std::string>& arguments) = 0;
  // Where this system keeps the tool named by `canonicalPath`, for text that names tools itself
  // (a script). The canonical path unless the system keeps the tool elsewhere.
  virtual std::string toolLocation(const std::string& canonicalPath) { return canonicalPath; }
};

}  // namespace tarnwick::platform
