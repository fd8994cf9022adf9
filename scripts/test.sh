#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three times:
# an optimised build, AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer;
# after the optimised build's tests, builds and tests every examples/*/ project against the
# installed library and with the tree (scripts/examples.sh); then fuzzes the heap, the command
# line and the checkpoint loader for about a minute each (scripts/fuzz.sh).
# Any failing test, sanitizer report or fuzzing finding fails the script. Each stage prints its
# wall and CPU time as it ends, and the closing table lists them all (docs/testing.md).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=stages.sh
source "$root/scripts/stages.sh"
mkdir -p "$root/build"
export QUARNEL_STAGE_LOG="$root/build/stage-times.txt"
: >"$QUARNEL_STAGE_LOG"
started=$(date +%s)
stage "install packages" bash "$root/scripts/install-deps.sh"
quarnel_use_ccache

# Sanitizer reports abort the test that produced them, so CTest counts them as failures.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

status=0
passed=0
failed=0
# Adds the counts of a ctest log ("NN% tests passed, F tests failed out of T"); none fails.
count_ctest() {
  local summary
  summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$1" | tail -n 1 || true)
  if [ -z "$summary" ]; then
    status=1
    return
  fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + t - f))
  failed=$((failed + f))
  echo "$2|$((t - f))|$f" >>"$root/build/test-counts.txt"
}
# The tests of one tree; ThreadSanitizer needs a fixed address-space layout on kernels with high
# mmap entropy.
run_tests() {
  local name=$1 runner=()
  [ "$name" = tsan ] && command -v setarch >/dev/null && runner=(setarch "$(uname -m)" -R)
  "${runner[@]}" ctest --test-dir "$root/build/$name" --output-on-failure -j 2 --timeout 900 |
    tee "$root/build/$name/ctest-output.txt"
}

: >"$root/build/test-counts.txt"
for variant in release:"" asan:address tsan:thread; do
  name=${variant%%:*}
  san=${variant#*:}
  echo "=== ${name} build"
  stage "${name} configure" bash "$root/scripts/build.sh" "$root/build/$name" "$san" --configure-only
  stage "${name} build" bash "$root/scripts/build.sh" "$root/build/$name" "$san"
  echo "=== ${name} tests"
  stage "${name} tests" run_tests "$name" || status=1
  count_ctest "$root/build/$name/ctest-output.txt" "$name"
  if [ "$name" = release ]; then
    echo "=== examples (installed package, add_subdirectory, pkg-config)"
    elog="$root/build/$name/examples-output.txt"
    stage "examples" bash -o pipefail -c 'bash "$0/scripts/examples.sh" "$1" 2>&1 | tee "$2"' \
      "$root" "$root/build/$name" "$elog" || status=1
    # "examples: N passed, M failed"
    esummary=$(grep -E "^examples: [0-9]+ passed, [0-9]+ failed$" "$elog" | tail -n 1 || true)
    if [ -n "$esummary" ]; then
      ep=$(sed -E 's/^examples: ([0-9]+) passed.*/\1/' <<<"$esummary")
      ef=$(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$esummary")
      passed=$((passed + ep))
      failed=$((failed + ef))
      echo "examples|$ep|$ef" >>"$root/build/test-counts.txt"
    else
      status=1
    fi
  fi
done
echo "=== fuzzing"
stage "fuzzing" bash "$root/scripts/fuzz.sh" || status=1

echo "=== time per stage (wall s, CPU s)"
awk -F'|' '{ printf "%-22s %6s %6s\n", $1, $2, $3 }' "$QUARNEL_STAGE_LOG"
echo "whole command: $(($(date +%s) - started)) s"
echo "=== tests per tree (passed, failed)"
awk -F'|' '{ printf "%-22s %6s %6s\n", $1, $2, $3 }' "$root/build/test-counts.txt"
echo "=== summary of the three builds and the examples"
echo "tests: ${passed} passed, ${failed} failed"
exit $status
