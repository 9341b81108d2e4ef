#!/usr/bin/env bash
# The desktop entry makes `xdg-open 'tarnwick://…'` run the registered executable with the link
# as one argument. Runs in a private home; a stand-in executable records what it receives.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/tarnwick-desktop-XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# A desktop session of no known kind, so the generic xdg-utils paths run; nothing opens the display.
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID XDG_DATA_DIRS
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config"
export DISPLAY=:99 BROWSER=false
# Run as root, the install step writes the PAM service: here, never in the machine's /etc.
export DESTDIR="$work/staged"
mkdir -p "$HOME"

stand_in="$work/bundle/Contents/MacOS/Tarnwick"
mkdir -p "$(dirname "$stand_in")"
cat > "$stand_in" <<STANDIN
#!/bin/sh
for argument in "\$@"; do printf '%s\n' "\$argument"; done > "$work/received"
STANDIN
chmod +x "$stand_in"

"$repo/tools/install-desktop-entry.sh" "$stand_in" > /dev/null
entry="$XDG_DATA_HOME/applications/tarnwick.desktop"
[ -f "$entry" ] || fail "no desktop entry"
grep -qx 'MimeType=x-scheme-handler/tarnwick;' "$entry" || fail "no scheme handler line"
grep -qxF "Exec=$stand_in %u" "$entry" || fail "Exec line: $(grep ^Exec= "$entry")"
[ "$(xdg-mime query default x-scheme-handler/tarnwick)" = tarnwick.desktop ] || fail "not the default"

link='tarnwick://desktop-pair?server=https://srv.example&code=ABCD2345&completion_token=a%26b'
xdg-open "$link"
[ -f "$work/received" ] || fail "the executable was not run"
[ "$(cat "$work/received")" = "$link" ] || fail "received: $(cat "$work/received")"

# A path that needs quoting is quoted and still a valid entry.
odd="$work/odd \$dir \"q\"/Tarnwick"
mkdir -p "$(dirname "$odd")"
cp "$stand_in" "$odd"
XDG_DATA_HOME="$work/odd-data" "$repo/tools/install-desktop-entry.sh" "$odd" > /dev/null
grep -qxF 'Exec="'"$work"'/odd \\$dir \\"q\\"/Tarnwick" %u' "$work/odd-data/applications/tarnwick.desktop" \
  || fail "quoted Exec line: $(grep ^Exec= "$work/odd-data/applications/tarnwick.desktop")"
# GLib's own desktop-entry reader runs the quoted path with the link.
if command -v gio > /dev/null; then
  rm -f "$work/received"
  gio launch "$work/odd-data/applications/tarnwick.desktop" "$link" 2> /dev/null || true
  for _ in $(seq 50); do [ -s "$work/received" ] && break; sleep 0.1; done
  [ "$(cat "$work/received" 2> /dev/null)" = "$link" ] \
    || fail "gio launch received: $(cat "$work/received" 2> /dev/null)"
fi
# As root, the PAM service: the system's account stacks, and an administrator's file stays.
if [ "$(id -u)" -eq 0 ] && [ -f /etc/pam.d/common-auth ]; then
  service="$DESTDIR/etc/pam.d/tarnwick"
  [ "$(grep -v '^#' "$service")" = "$(printf '@include common-auth\n@include common-account')" ] \
    || fail "PAM service: $(cat "$service")"
  [ "$(stat -c %a "$service")" = 644 ] || fail "PAM service mode $(stat -c %a "$service")"
  echo "auth required pam_deny.so" > "$service"
  "$repo/tools/install-desktop-entry.sh" "$stand_in" > /dev/null
  [ "$(cat "$service")" = "auth required pam_deny.so" ] || fail "an administrator's file was replaced"
fi
echo "desktop entry: ok"
