#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarnwick::update {

// Where the installer script finds each tool it runs.
struct InstallerTools {
  std::string kill = "/bin/kill";
  std::string sleep = "/bin/sleep";
  std::string launchctl = "/bin/launchctl";
  std::string id = "/usr/bin/id";
  std::string ditto = "/usr/bin/ditto";
  std::string rm = "/bin/rm";
  std::string open = "/usr/bin/open";
};

// The installer script, run by /bin/sh with the arguments PID, SRC, DEST and WORK: it waits for
// the application to exit, replaces DEST with SRC (keeping a backup to put back), reopens DEST and
// removes WORK. No line feed after the last line.
std::string installerScript(const InstallerTools& tools);

// `text` as one shell word: bare when nothing in it is special to the shell, else single-quoted.
std::string shellWord(std::string_view text);

// Where the script may run a tool this system keeps at `location`. A tool inside the bundle being
// replaced is gone once the script removes that bundle, so it is taken from the same place in the
// staged copy, which stays until the script's very end.
std::string toolOutsideReplacedBundle(const std::string& location,
                                      const std::filesystem::path& destination,
                                      const std::filesystem::path& staged);

}  // namespace tarnwick::update
