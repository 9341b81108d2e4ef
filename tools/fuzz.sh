#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer) and runs each one briefly from its seed corpus.
#   tools/fuzz.sh [SECONDS [CORPUS…]]   (default 30 per target, every target)
# Findings are written to build/fuzz/findings and fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
only=("${@:2}")
cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"

# Leaks inside the system's libraries that are not ours to mend. They are told apart by the
# library function on their stack, which only the slow unwinder sees through a library built
# without frame pointers: the targets that reach OpenSSL pay for that, the others do not.
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan-suppressions.txt${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

findings=build/fuzz/findings
mkdir -p "$findings"
for target in links:fuzz_links redemption:fuzz_redemption_answer unlock:fuzz_unlock_message \
    manifest:fuzz_release_manifest version:fuzz_version_compare interface-check:fuzz_interface_check \
    activation:fuzz_activation_request support-command-line:fuzz_support_command_line \
    update-image:fuzz_update_image seal:fuzz_seal; do
  corpus=${target%%:*}
  binary=build/fuzz/fuzz/${target##*:}
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " =~ " $corpus " ]]; then
    continue
  fi
  status=0
  # New inputs go to a scratch corpus, so the checked-in seeds stay as they are.
  work=$(mktemp -d)
  cp fuzz/corpus/"$corpus"/* "$work"/
  echo "fuzz: ${binary##*/} for ${seconds} s"
  # Outside input reaches the shell at up to 128 KiB (one command-line argument) and the
  # parsers bound it at 64 KiB or more: seed one input past both, since the fuzzer alone grows
  # inputs far too slowly to get there.
  { cat "$(ls fuzz/corpus/"$corpus"/* | head -n 1)"; head -c 200000 /dev/zero | tr '\0' 'a'; } \
    > "$work/long-seed"
  sanitizer=fast_unwind_on_malloc=1 limits=()
  case "$corpus" in
    seal) sanitizer=fast_unwind_on_malloc=0 ;;
    # libsquashfs asks for an inode's whole block list at once, sized by the stored file size
    # (gigabytes or terabytes from a 500-byte image), then fails to read it at the end of the
    # table. Outside the sanitizer that takes address space only, or the allocation fails (the
    # helper stays at 5 MB and refuses the image): allocations past 4 GiB fail here too, and what
    # is bounded is resident memory.
    update-image)
      sanitizer=fast_unwind_on_malloc=0:max_allocation_size_mb=4096:allocator_may_return_null=1
      limits=(-malloc_limit_mb=4096)
      ;;
  esac
  # A hang is a finding too. The update tools say on standard error why they refuse, once per
  # input: the fuzzer's own report still reaches the log without it.
  ASAN_OPTIONS="$sanitizer${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    "$binary" -max_total_time="$seconds" -max_len=262144 -timeout=30 -close_fd_mask=2 "${limits[@]}" \
      -artifact_prefix="$findings/" -print_final_stats=1 "$work" 2>&1 | tail -n 12 ||
    status=${PIPESTATUS[0]}
  rm -rf "$work"
  [ "$status" -eq 0 ] || { echo "fuzz: ${binary##*/} found a fault (see $findings)"; exit 1; }
done
