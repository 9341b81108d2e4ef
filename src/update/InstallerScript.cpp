#include "update/InstallerScript.h"

#include <optional>
#include <system_error>

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
  // The line after the backup copy is the one addition to the plain replacement: without a backup
  // a failed copy of the new version would leave nothing at DEST, so the script keeps DEST as it is,
  // reopens it and cleans up instead.
  return "#!/bin/sh\n"
         "# Replace Tarnwick once the running copy has exited, then reopen it.\n"
         "PID=\"$1\"\n"
         "SRC=\"$2\"\n"
         "DEST=\"$3\"\n"
         "WORK=\"$4\"\n"
         "i=0\n"
         "while [ $i -lt 200 ] && " + kill + " -0 \"$PID\" 2>/dev/null; do\n"
         "  " + sleep + " 0.1\n"
         "  i=$((i + 1))\n"
         "done\n" +
         launchctl + " bootout \"gui/$(" + id + " -u)/com.tarnwick.desktop\" 2>/dev/null\n" +
         ditto + " \"$DEST\" \"$WORK/previous.app\" 2>/dev/null\n"
         "[ $? -eq 0 ] || { " + open + " -n \"$DEST\"; " + sleep + " 8; " + rm +
         " -rf \"$WORK\"; exit 1; }\n" +
         rm + " -rf \"$DEST\"\n"
         "if ! " + ditto + " \"$SRC\" \"$DEST\"; then\n"
         "  " + rm + " -rf \"$DEST\"\n"
         "  " + ditto + " \"$WORK/previous.app\" \"$DEST\" 2>/dev/null\n"
         "fi\n" +
         open + " -n \"$DEST\"\n" +
         sleep + " 8\n" +
         rm + " -rf \"$WORK\"";
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
