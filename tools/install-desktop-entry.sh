#!/usr/bin/env bash
# Registers the shell as the handler of tarnwick:// links for the current user, so that
# `xdg-open 'tarnwick://…'` starts it (or hands the link to the running copy).
#
#   install-desktop-entry.sh [EXECUTABLE]
#
# EXECUTABLE defaults to the bundle of the default build. The entry goes to
# ${XDG_DATA_HOME:-~/.local/share}/applications/tarnwick.desktop and is made the default handler of
# x-scheme-handler/tarnwick. Only the plain "tarnwick" scheme is registered; the shell also accepts
# tarnwick2, tarnwick15 and the like when something hands them over.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
template="$here/../src/platform/linux/tarnwick.desktop.in"
executable=${1:-"$here/../build/default/Tarnwick.app/Contents/MacOS/Tarnwick"}

if [ ! -x "$executable" ]; then
  echo "install-desktop-entry: no executable at $executable (build first)" >&2
  exit 1
fi
executable=$(realpath "$executable")

# The Exec value: quoted only when it has to be, with the desktop-entry escapes ("%" doubled;
# inside quotes a backslash before " ` $ \, and every backslash doubled once more for the string).
exec_value=${executable//%/%%}
if [[ "$exec_value" =~ [^A-Za-z0-9._/+@,:=-] ]]; then
  quoted=$(printf '%s' "$exec_value" | sed -e 's/[\\"`$]/\\&/g' -e 's/\\/\\\\/g')
  exec_value="\"$quoted\""
fi

applications="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
mkdir -p "$applications"
entry="$applications/tarnwick.desktop"
# Literal substitution: the Exec value may hold any character sed would read as special.
# (awk -v would read backslash escapes in it, ENVIRON does not.)
TARNWICK_EXEC="$exec_value" awk '{ n = index($0, "@TARNWICK_EXEC@");
  if (n) { $0 = substr($0, 1, n - 1) ENVIRON["TARNWICK_EXEC"] substr($0, n + 15) } print }' \
  "$template" > "$entry.tmp"
mv "$entry.tmp" "$entry"

if command -v desktop-file-validate > /dev/null; then
  desktop-file-validate "$entry"
fi
if command -v update-desktop-database > /dev/null; then
  update-desktop-database "$applications"
fi
xdg-mime default tarnwick.desktop x-scheme-handler/tarnwick
echo "install-desktop-entry: $entry handles tarnwick:// links"
