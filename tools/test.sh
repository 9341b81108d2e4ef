#!/usr/bin/env bash
# Builds everything and runs every test tier: unit, integration and end to end (each end-to-end
# test starts its own Xvfb), then the unit tests again under ASan and UBSan, then a short run of
# each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# Paths relative to the checkout let a compiler cache serve every clone of it.
export CCACHE_BASEDIR="$PWD"
# Debug information would otherwise tie every cached object to this clone's folder.
export CCACHE_NOHASHDIR=1
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

tools/fuzz.sh 30
