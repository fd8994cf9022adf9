#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (coverage + AddressSanitizer +
# UndefinedBehaviorSanitizer) in their own build folder and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 60]   (or QUARNEL_FUZZ_SECONDS)
# A crash, a sanitizer report or a broken property stops the target and fails the script;
# the input that did it is left as build/fuzz/findings/<target>/crash-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=stages.sh
source "$root/scripts/stages.sh"
seconds=${1:-${QUARNEL_FUZZ_SECONDS:-60}}
dir="$root/build/fuzz"
targets=(Heap_fuzz Command_Line_fuzz Checkpoint_fuzz)

stage "fuzzing: build" env CC=clang CXX=clang++ bash "$root/scripts/build.sh" "$dir" fuzzer "${targets[@]}"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# One target on each core at a time: each still fuzzes for `seconds`.
fuzz_one() {
  local target=$1 corpus="$dir/corpus/$1" findings="$dir/findings/$1"
  mkdir -p "$corpus" "$findings"
  "$dir/fuzz/$target" "$corpus" -max_total_time="$seconds" -max_len=512 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" 2>"$dir/$target.log"
}
status=0
cores=$(nproc)
for ((first = 0; first < ${#targets[@]}; first += cores)); do
  batch=("${targets[@]:first:cores}")
  pids=()
  for target in "${batch[@]}"; do
    echo "=== fuzzing $target for ${seconds} s"
    fuzz_one "$target" &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    target=${batch[$i]}
    if ! wait "${pids[$i]}"; then
      tail -n 60 "$dir/$target.log"
      echo "=== $target FAILED (input kept in $dir/findings/$target)"
      status=1
    else
      echo "--- $target: $(grep -E "Done [0-9]+ runs" "$dir/$target.log" | tail -n 1)"
    fi
  done
done
exit $status
