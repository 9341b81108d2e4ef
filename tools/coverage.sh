#!/usr/bin/env bash
# Line coverage of src/ by the whole suite (every label), read with gcovr: all of src/, the core
# without the Linux backend, and the backend alone. Tests that bind the Connector's port run in a
# network of their own, so this may run beside other test runs (it needs root for unshare); the
# package test, which needs Debian's archive and runs no code of this build, is left out.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
build=build/coverage
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"
find "$build" -name '*.gcda' -delete
# A failing test still leaves its coverage; say so, and measure anyway.
unshare -n sh -c "ip link set lo up && exec ctest --test-dir $build -j $(nproc) -LE package ${*:-}" ||
  echo "coverage: some tests failed; the figures below include them as they ran" >&2
summary() { gcovr -r . "$build" --filter "$1" "${@:2}" -s -o "$build/gcovr-report.txt" 2>/dev/null | grep -E '^lines:'; }
echo "src/:                 $(summary 'src/')"
echo "core (not linux):     $(summary 'src/' --exclude 'src/platform/linux/')"
echo "src/platform/linux/:  $(summary 'src/platform/linux/')"
