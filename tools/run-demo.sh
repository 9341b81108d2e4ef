#!/usr/bin/env bash
# Builds the bundle and runs the shell from it. Under a display the window opens there; without
# one the shell runs under Xvfb and a screenshot is saved to artifacts/demo.png.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default
cmake --build --preset default -j "$(nproc)"
app="build/default/Tarnwick.app/Contents/MacOS/Tarnwick"

if [ -n "${DISPLAY:-}" ]; then
  exec "$app" "$@"
fi

mkdir -p artifacts
Xvfb :97 -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
connector="$PWD/build/default/Tarnwick.app/Contents/Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector"
# The login-item Connector outlives the shell by design; under a throw-away Xvfb it goes too.
stop_all() {
  kill "$app_pid" 2>/dev/null
  sleep 1
  for pid in $(pgrep -f -x "$connector" || true); do kill "$pid" 2>/dev/null; done
  kill "$xvfb" 2>/dev/null
}
trap stop_all EXIT
sleep 1
DISPLAY=:97 "$app" "$@" &
app_pid=$!
seconds=${TARNWICK_DEMO_SECONDS:-12}
sleep "$seconds"
DISPLAY=:97 import -window root artifacts/demo.png
echo "screenshot: artifacts/demo.png (after ${seconds} s)"
