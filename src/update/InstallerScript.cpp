#include "update/InstallerScript.h"

#include <optional>
#include <system_error>
#include <vector>

namespace tarnwick::update {

namespace fs = std::filesystem;

std::string shellWord(std::string_view text) {
  constexpr std::string_view plain =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+,:=@%-";
  if (!text.empty() && text.find_first_not_of(plain) == std::string_view::npos) {
    return std::string(text);
  }
  std::string word = "'";
  for (char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  word += "'";
  return word;
}

std::string installerScript(const InstallerTools& tools) {
  const std::string kill = shellWord(tools.kill);
  const std::string sleep = shellWord(tools.sleep);
  const std::string launchctl = shellWord(tools.launchctl);
  const std::string id = shellWord(tools.id);
  const std::string ditto = shellWord(tools.ditto);
  const std::string rm = shellWord(tools.rm);
  const std::string open = shellWord(tools.open);
  const std::vector<std::string> lines = {
      "#!/bin/sh",
      "# Replace Tarnwick once the running copy has exited, then reopen it.",
      "PID=\"$1\"",
      "SRC=\"$2\"",
      "DEST=\"$3\"",
      "WORK=\"$4\"",
      "i=0",
      "while [ $i -lt 200 ] && " + kill + " -0 \"$PID\" 2>/dev/null; do",
      "  " + sleep + " 0.1",
      "  i=$((i + 1))",
      "done",
      launchctl + " bootout \"gui/$(" + id + " -u)/com.tarnwick.desktop\" 2>/dev/null",
      ditto + " \"$DEST\" \"$WORK/previous.app\" 2>/dev/null",
      // Without a backup a failed copy of the new version would leave nothing at DEST: keep DEST
      // as it is, reopen it and clean up instead of replacing it.
      "[ $? -eq 0 ] || { " + open + " -n \"$DEST\"; " + sleep + " 8; " + rm +
          " -rf \"$WORK\"; exit 1; }",
      rm + " -rf \"$DEST\"",
      "if ! " + ditto + " \"$SRC\" \"$DEST\"; then",
      "  " + rm + " -rf \"$DEST\"",
      "  " + ditto + " \"$WORK/previous.app\" \"$DEST\" 2>/dev/null",
      "fi",
      open + " -n \"$DEST\"",
      sleep + " 8",
      rm + " -rf \"$WORK\"",
  };
  std::string script;
  for (const auto& line : lines) {
    script += script.empty() ? line : "\n" + line;
  }
  return script;
}

namespace {

// The part of `path` below `folder`, when it lies inside it.
std::optional<fs::path> below(const fs::path& path, const fs::path& folder) {
  auto inner = path.lexically_normal();
  auto outer = folder.lexically_normal();
  if (outer.has_filename() == false) {
    outer = outer.parent_path();
  }
  auto relative = inner.lexically_relative(outer);
  if (relative.empty() || relative == "." || *relative.begin() == "..") {
    return std::nullopt;
  }
  return relative;
}

}  // namespace

std::string toolOutsideReplacedBundle(const std::string& location, const fs::path& destination,
                                      const fs::path& staged) {
  auto relative = below(location, destination);
  if (!relative) {
    // The same places may be named through links; compare where they really are.
    std::error_code error1;
    std::error_code error2;
    auto realLocation = fs::weakly_canonical(location, error1);
    auto realDestination = fs::weakly_canonical(destination, error2);
    if (!error1 && !error2) {
      relative = below(realLocation, realDestination);
    }
  }
  return relative ? (staged / *relative).string() : location;
}

}  // namespace tarnwick::update
