#pragma once

// The stand-in HTTPS service host for the end-to-end tests, and the shell launched so that it
// reaches it under the service host's own name.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Harness.h"
#include "ShellSession.h"

namespace tarnwick::e2e {

// Makes a test CA in `folder` and serves on `port` with it, with `arguments` added to the host's
// command line and `environment` to its environment.
class ServiceHost {
 public:
  ServiceHost(const std::filesystem::path& folder, int port,
              const std::vector<std::string>& arguments = {},
              const std::map<std::string, std::string>& environment = {});
  bool ready() const { return ready_; }

  // Runs the shell with `arguments` in a mount namespace of its own, where tarnwick.com maps to
  // loopback and the test CA is trusted: the shell reads no setting of ours. With `readOnly`,
  // that folder is mounted read-only for it.
  std::unique_ptr<Process> launchShell(
      const ShellSession& session, const std::vector<std::string>& arguments = {},
      const std::optional<std::filesystem::path>& readOnly = {}) const;

 private:
  std::filesystem::path folder_;
  std::unique_ptr<Process> process_;
  bool ready_ = false;
};

}  // namespace tarnwick::e2e
