#!/usr/bin/env bash
# The bundle's install step. Registers the shell as the handler of tarnwick:// links for the
# current user, so that `xdg-open 'tarnwick://…'` starts it (or hands the link to the running copy).
# Run as root, it also installs the PAM service "tarnwick" that the unlock of financial data
# authenticates with (see below).
#
#   install-desktop-entry.sh [EXECUTABLE]
#
# EXECUTABLE defaults to the bundle of the default build. The entry goes to
# ${XDG_DATA_HOME:-~/.local/share}/applications/tarnwick.desktop and is made the default handler of
# x-scheme-handler/tarnwick. Only the plain "tarnwick" scheme is registered; the shell also accepts
# tarnwick2, tarnwick15 and the like when something hands them over.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
template="$here/../src/platform/linux/bundle/tarnwick.desktop.in"
executable=${1:-"$here/../build/default/Tarnwick.app/Contents/MacOS/Tarnwick"}

if [ ! -x "$executable" ]; then
  echo "install-desktop-entry: no executable at $executable (build first)" >&2
  exit 1
fi
executable=$(realpath "$executable")

# The PAM service: the system's own account stacks, so unlock asks for the account's password (or
# a fingerprint where the administrator has enabled one). Without it the shell answers every unlock
# request with a refusal and shows no prompt. An administrator's file is never replaced. DESTDIR
# stages the file elsewhere (a package build, the tests).
if [ "$(id -u)" -eq 0 ]; then
  pam_service="${DESTDIR:-}/etc/pam.d/tarnwick"
  if [ -e "$pam_service" ] || [ -L "$pam_service" ]; then
    echo "install-desktop-entry: $pam_service exists; left as it is"
  elif [ -f /etc/pam.d/common-auth ] && [ -f /etc/pam.d/common-account ]; then
    mkdir -p "$(dirname "$pam_service")"
    printf '%s\n' "# Tarnwick: unlock of financial data by the account's owner" \
      "@include common-auth" "@include common-account" > "$pam_service.tmp"
    chmod 0644 "$pam_service.tmp"
    mv "$pam_service.tmp" "$pam_service"
    echo "install-desktop-entry: $pam_service installed"
  else
    echo "install-desktop-entry: no common-auth and common-account in /etc/pam.d; write" \
      "$pam_service for this system's stacks to enable unlock" >&2
  fi
elif [ ! -e /etc/pam.d/tarnwick ] && [ ! -e /usr/lib/pam.d/tarnwick ]; then
  echo "install-desktop-entry: unlock of financial data stays off until this runs once as root"
fi

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
