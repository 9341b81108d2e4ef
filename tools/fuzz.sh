#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer) and runs each one briefly from its seed corpus.
#   tools/fuzz.sh [SECONDS]   (default 30 per target)
# Findings are written to build/fuzz/findings and fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"

findings=build/fuzz/findings
mkdir -p "$findings"
for target in links:fuzz_links redemption:fuzz_redemption_answer manifest:fuzz_release_manifest \
    version:fuzz_version_compare interface-check:fuzz_interface_check; do
  corpus=${target%%:*}
  binary=build/fuzz/fuzz/${target##*:}
  # New inputs go to a scratch corpus, so the checked-in seeds stay as they are.
  work=$(mktemp -d)
  cp fuzz/corpus/"$corpus"/* "$work"/
  echo "fuzz: ${binary##*/} for ${seconds} s"
  "$binary" -max_total_time="$seconds" -max_len=262144 -artifact_prefix="$findings/" -print_final_stats=1 \
    "$work" 2>&1 | tail -n 12
  status=${PIPESTATUS[0]}
  rm -rf "$work"
  [ "$status" -eq 0 ] || { echo "fuzz: ${binary##*/} found a fault (see $findings)"; exit 1; }
done
