#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo run need.
# Safe to run again: apt-get only installs what is missing.
set -euo pipefail

packages=(
  # toolchain (clang and its runtime for the fuzz targets)
  build-essential cmake ninja-build pkg-config clang-format git clang libclang-rt-14-dev ccache
  # core libraries
  nlohmann-json3-dev libboost-url1.81-dev libicu-dev uuid-dev libssl-dev
  libcurl4-openssl-dev libplist-dev
  # device-owner unlock (PAM) and self-update (squashfs images)
  libpam0g-dev squashfs-tools libsquashfs-dev openssl
  # Linux desktop backend
  libgtk-3-dev libwebkit2gtk-4.1-dev libx11-dev libxtst-dev libxext-dev
  libxinerama-dev libjpeg62-turbo-dev
  # tests, stand-ins and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  xvfb xauth x11-utils imagemagick lsof procps util-linux xdotool xclip xdg-utils
  desktop-file-utils libpam-wrapper weston
  fonts-dejavu-core dbus dbus-x11
  # reading the web view as a screen reader does (end-to-end tests)
  at-spi2-core libatspi2.0-dev
  # measuring the suite's line coverage (tools/coverage.sh)
  gcovr
  # the Debian package: its icons drawn at build time, its checks, the root it is installed on
  librsvg2-bin lintian appstream debootstrap
)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E "$0" "$@"
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "bootstrap: all packages present"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "bootstrap: installed ${#missing[@]} package(s)"
