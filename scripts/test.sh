#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three times:
# an optimised build, AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer;
# after the optimised build's tests, builds and tests every examples/*/ project against the
# installed library and with the tree (scripts/examples.sh); then fuzzes the heap and the
# command line for about a minute each (scripts/fuzz.sh).
# Any failing test, sanitizer report or fuzzing finding fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"

# Sanitizer reports abort the test that produced them, so CTest counts them as failures.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

status=0
passed=0
failed=0
for variant in release:"" asan:address tsan:thread; do
  name=${variant%%:*}
  san=${variant#*:}
  echo "=== ${name} build"
  bash "$root/scripts/build.sh" "$root/build/$name" "$san"
  echo "=== ${name} tests"
  # ThreadSanitizer needs a fixed address-space layout on kernels with high mmap entropy.
  runner=()
  [ "$name" = tsan ] && command -v setarch >/dev/null && runner=(setarch "$(uname -m)" -R)
  log="$root/build/$name/ctest-output.txt"
  if ! "${runner[@]}" ctest --test-dir "$root/build/$name" --output-on-failure -j 2 --timeout 900 | tee "$log"; then
    status=1
  fi
  # "NN% tests passed, F tests failed out of T"
  summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -n 1 || true)
  if [ -n "$summary" ]; then
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
    passed=$((passed + t - f))
    failed=$((failed + f))
  else
    status=1
  fi
  if [ "$name" = release ]; then
    echo "=== examples (installed package, add_subdirectory, pkg-config)"
    elog="$root/build/$name/examples-output.txt"
    if ! bash "$root/scripts/examples.sh" "$root/build/$name" 2>&1 | tee "$elog"; then
      status=1
    fi
    # "examples: N passed, M failed"
    esummary=$(grep -E "^examples: [0-9]+ passed, [0-9]+ failed$" "$elog" | tail -n 1 || true)
    if [ -n "$esummary" ]; then
      passed=$((passed + $(sed -E 's/^examples: ([0-9]+) passed.*/\1/' <<<"$esummary")))
      failed=$((failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$esummary")))
    else
      status=1
    fi
  fi
done
echo "=== fuzzing"
if ! bash "$root/scripts/fuzz.sh"; then
  status=1
fi
echo "=== summary of the three builds and the examples"
echo "tests: ${passed} passed, ${failed} failed"
exit $status
