// Built into each test program that uses it, which defines where the host and the CA script are.
#include "ServiceHost.h"

#include <fstream>

namespace tarnwick::e2e {

namespace fs = std::filesystem;

ServiceHost::ServiceHost(const fs::path& folder, int port,
                         const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment)
    : folder_(folder) {
  if (runCommand("/bin/bash", {TARNWICK_MAKE_TEST_CA, folder.string()}, {}, 60s).status != 0) {
    return;
  }
  Process::Options options;
  options.stdoutFile = folder / "service.out";
  options.environment = environment;
  std::vector<std::string> all{"--cert", (folder / "server.crt").string(),
                               "--key",  (folder / "server.key").string(),
                               "--port", std::to_string(port)};
  all.insert(all.end(), arguments.begin(), arguments.end());
  process_ = std::make_unique<Process>(TARNWICK_SERVICE_HOST, all, options);
  ready_ =
      waitUntil([&] { return readFile(folder / "service.out").starts_with("listening"); }, 20s);
}

std::unique_ptr<Process> ServiceHost::launchShell(const ShellSession& session,
                                                  const std::vector<std::string>& arguments,
                                                  const std::optional<fs::path>& readOnly) const {
  writeFile(folder_ / "hosts", "127.0.0.1 localhost tarnwick.com\n");
  writeFile(folder_ / "ca-bundle.crt",
            readFile("/etc/ssl/certs/ca-certificates.crt") + readFile(folder_ / "ca.crt"));
  std::string script =
      "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/ssl/certs/ca-certificates.crt "
      "&& if [ -n \"$3\" ]; then mount --bind \"$3\" \"$3\" && mount -o remount,bind,ro \"$3\"; "
      "fi && shift 3 && exec \"$@\"";
  std::vector<std::string> all{"--mount", "--propagation", "private", "/bin/sh", "-c", script};
  for (const auto& argument :
       {std::string("sh"), (folder_ / "hosts").string(), (folder_ / "ca-bundle.crt").string(),
        readOnly ? readOnly->string() : "", appExecutable().string()}) {
    all.push_back(argument);
  }
  all.insert(all.end(), arguments.begin(), arguments.end());
  return std::make_unique<Process>("/usr/bin/unshare", all, session.environment("shell"));
}

}  // namespace tarnwick::e2e
