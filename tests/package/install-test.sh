#!/usr/bin/env bash
# The package on a fresh Debian 12 root, as a user gets it: `apt-get install ./DEB` pulls its
# dependencies; the installed `tarnwick` starts under Xvfb, its Connector answers, its window maps,
# xdg-mime names it the tarnwick: handler, a second copy hands a link over; a purge leaves nothing.
#   install-test.sh DEB CACHE    (CACHE keeps the debootstrapped root and apt's downloads)
# Only building the root and fetching dependencies use the network (TARNWICK_DEBIAN_MIRROR); the
# rest runs in a throw-away overlay, in private network, mount and process namespaces.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
deb=$(realpath "$1" 2>/dev/null || true) cache=$2
mode=${TARNWICK_PACKAGE_TEST_STEP:-outside}
if [ "$mode" = outside ] && { [ "$(id -u)" -ne 0 ] || ! command -v debootstrap > /dev/null; }; then
  echo "SKIP: needs root and debootstrap"; exit 77
fi
[ -f "$deb" ] || fail "no package at $1 (cmake --build --preset default --target package)"
base=$cache/base
name=$(basename "$deb")
version=$(dpkg-deb -f "$deb" Version)

# /proc, /dev, /sys and a private /tmp in ROOT; the mounts end with this mount namespace.
mount_system() {
  mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" && mount --rbind /sys "$1/sys" &&
    mount -t tmpfs tmpfs "$1/tmp"
}
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
as_user() { in_root setpriv --reuid=tester --regid=tester --init-groups env HOME=/home/tester "$@"; }

if [ "$mode" = prepare ]; then
  # Inside a mount namespace, with the network: the root's tools, then the package's dependencies
  # into apt's cache, so the install itself needs no network.
  root=$base
  mount_system "$root"
  in_root apt-get update -qq
  if [ ! -e "$root/.tools-ready" ]; then
    in_root apt-get install -y -qq --no-install-recommends \
      xvfb xauth xdotool xdg-utils desktop-file-utils > /dev/null
    in_root useradd --create-home tester
    touch "$root/.tools-ready"
  fi
  cp "$deb" "$root/tmp/"
  in_root apt-get install -y -qq --no-install-recommends --download-only "/tmp/$name" > /dev/null
  exit 0
fi

if [ "$mode" = inside ]; then
  ip link set lo up
  root=$cache/root
  mkdir -p "$cache/upper" "$cache/work" "$root"
  mount -t overlay overlay -o "lowerdir=$base,upperdir=$cache/upper,workdir=$cache/work" "$root"
  mount_system "$root"
  cp "$deb" "$root/tmp/"
  start=$SECONDS
  in_root apt-get install -y -qq --no-install-recommends "/tmp/$name" > "$cache/apt.log" 2>&1 ||
    fail "apt-get install: $(tail -5 "$cache/apt.log")"
  echo "installed with its dependencies in $((SECONDS - start)) s"
  in_root dpkg -L tarnwick > "$cache/files"
  in_root dpkg-query -W -f='${Conffiles}\n' tarnwick | grep -q '^ /etc/pam.d/tarnwick ' ||
    fail "/etc/pam.d/tarnwick is not a conffile"
  [ -L "$root/usr/bin/tarnwick" ] || fail "no tarnwick command on the PATH"
  # An installed copy belongs to the package manager: the user may not replace it in place.
  as_user test ! -w /usr/lib/tarnwick/Tarnwick.app || fail "the user may write the installed bundle"
  handler=$(as_user xdg-mime query default x-scheme-handler/tarnwick)
  [ "$handler" = com.ostrel.tarnwick.desktop ] || fail "tarnwick: links go to '$handler'"

  in_root Xvfb :5 -screen 0 1280x900x24 -nolisten tcp > "$cache/xvfb.log" 2>&1 &
  xvfb=$!
  as_user env DISPLAY=:5 tarnwick > "$cache/shell.log" 2>&1 &
  shell=$!
  answer="" window=""
  for _ in $(seq 90); do
    [ -n "$answer" ] || answer=$( (exec 3<>/dev/tcp/127.0.0.1/8766 &&
      printf 'GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3 && timeout 5 cat <&3) 2>/dev/null |
      tr -d '\r' | sed -n '/^Server:/p') || true
    # The title names the bundle's version once the interface has loaded in the web view.
    [ -n "$window" ] || window=$(in_root env DISPLAY=:5 xdotool search --onlyvisible \
      --name "^Tarnwick ${version//./\\.}\$" 2>/dev/null | head -1) || true
    [ -n "$answer" ] && [ -n "$window" ] && break
    kill -0 "$shell" 2>/dev/null || fail "tarnwick exited: $(tail -5 "$cache/shell.log")"
    sleep 1
  done
  [ "$answer" = "Server: TarnwickDesktop/$version" ] || fail "Connector answered '$answer'"
  [ -n "$window" ] || fail "no window titled 'Tarnwick $version' mapped within 90 s"
  echo "Connector answered and window $window 'Tarnwick $version' mapped $((SECONDS - start)) s after the install began"
  # A second copy started from the PATH finds the first and hands the link over.
  as_user env DISPLAY=:5 timeout 10 tarnwick 'tarnwick://pair?code=1' ||
    fail "a second copy did not hand its link over"

  connectors=$(in_root lsof -t -a -iTCP:8766 -sTCP:LISTEN || true)
  kill "$shell" $connectors
  wait "$shell" || true
  kill "$xvfb"
  wait "$xvfb" || true

  in_root apt-get purge -y -qq tarnwick > "$cache/apt.log" 2>&1 || fail "purge: $(tail -5 "$cache/apt.log")"
  # Folders other packages own too (/usr/share/icons/hicolor/…) stay; nothing of its own, nor
  # anything its name marks that dpkg did not list (the user's own data in /home stays).
  left=$(while read -r path; do
    [ "$path" != /. ] && { [ -e "$root$path" ] || [ -L "$root$path" ]; } || continue
    [ -d "$root$path" ] && [ ! -L "$root$path" ] && in_root dpkg-query -S "$path" > /dev/null 2>&1 ||
      echo "$path"
  done < "$cache/files"; find "$root" -xdev -iname '*tarnwick*' -not -path "$root/home/*" | sed "s|^$root||")
  ! grep -q tarnwick "$root/usr/share/applications/mimeinfo.cache" 2>/dev/null || left+=" mimeinfo.cache"
  [ -z "$left" ] || fail "left after purge: $left"
  echo "purged: none of its $(wc -l < "$cache/files") paths left"
  exit 0
fi

# outside: build the base root once, refresh apt's cache, then run the rest in namespaces.
start=$SECONDS
mkdir -p "$cache"
if [ ! -e "$base/.debootstrap-ready" ]; then
  rm -rf "$base"
  debootstrap --variant=minbase bookworm "$base" "${TARNWICK_DEBIAN_MIRROR:-http://deb.debian.org/debian}" \
    > "$cache/debootstrap.log" 2>&1 || fail "debootstrap: $(tail -3 "$cache/debootstrap.log")"
  touch "$base/.debootstrap-ready"
fi
mirror=${TARNWICK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${TARNWICK_DEBIAN_SECURITY_MIRROR:-${mirror%/debian}/debian-security}
printf '%s\n' "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
  "deb $security bookworm-security main" > "$base/etc/apt/sources.list"
cp /etc/resolv.conf "$base/etc/resolv.conf"
TARNWICK_PACKAGE_TEST_STEP=prepare unshare -m "$0" "$deb" "$cache" || fail "preparing the root"
echo "root ready in $((SECONDS - start)) s"
rm -rf "$cache/upper" "$cache/work"
status=0
TARNWICK_PACKAGE_TEST_STEP=inside unshare -n -m -p -f --mount-proc "$0" "$deb" "$cache" || status=$?
rm -rf "$cache/upper" "$cache/work"
echo "package test took $((SECONDS - start)) s"
exit "$status"
