#!/usr/bin/env bash
# The desktop entry makes `xdg-open 'tarnwick://…'` and GLib's launcher hand the link as one
# argument to the registered executable (a stand-in that records it), whatever its path.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/tarnwick-desktop-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# A desktop session of no known kind, so the generic xdg-utils paths run; nothing opens the display.
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID XDG_DATA_DIRS
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" DISPLAY=:99 BROWSER=false DESTDIR="$work/staged"
link='tarnwick://desktop-pair?server=https://srv.example&code=ABCD2345&completion_token=a%26b'
for stand_in in "$work/bundle/Contents/MacOS/Tarnwick" "$work/odd \$dir \"q\"/Tarnwick"; do
  mkdir -p "$(dirname "$stand_in")" "$HOME"
  printf '#!/bin/sh\nprintf "%%s\\n" "$@" > "%s/received"\n' "$work" > "$stand_in" && chmod +x "$stand_in"
  n=$((${n:-0} + 1)) && export XDG_DATA_HOME="$work/data$n"
  "$repo/tools/install-desktop-entry.sh" "$stand_in" > /dev/null
  [ "$(xdg-mime query default x-scheme-handler/tarnwick)" = tarnwick.desktop ] || fail "not the default"
  if [ "$n" = 1 ]; then  # xdg-open's own reader takes only plain paths
    xdg-open "$link"
    [ "$(cat "$work/received")" = "$link" ] || fail "xdg-open: received $(cat "$work/received")"
  fi
  rm -f "$work/received"
  gio launch "$XDG_DATA_HOME/applications/tarnwick.desktop" "$link" 2> /dev/null || true
  for _ in $(seq 50); do [ -s "$work/received" ] && break; sleep 0.1; done
  [ "$(cat "$work/received")" = "$link" ] || fail "gio launch: $stand_in received $(cat "$work/received")"
done
# As root, the PAM service: the system's account stacks, and an administrator's file stays.
if [ "$(id -u)" -eq 0 ] && [ -f /etc/pam.d/common-auth ]; then
  service="$DESTDIR/etc/pam.d/tarnwick"
  [ "$(grep -v '^#' "$service")" = "$(printf '@include common-auth\n@include common-account')" ] || fail "PAM service: $(cat "$service")"
  [ "$(stat -c %a "$service")" = 644 ] || fail "PAM service mode $(stat -c %a "$service")"
  echo "auth required pam_deny.so" > "$service"
  "$repo/tools/install-desktop-entry.sh" "$stand_in" > /dev/null
  [ "$(cat "$service")" = "auth required pam_deny.so" ] || fail "an administrator's file was replaced"
fi
echo "desktop entry: ok"
