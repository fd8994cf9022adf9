#!/usr/bin/env bash
# Usage: scripts/examples.sh [build-dir]   (default build/release, built by scripts/build.sh)
# Builds every examples/*/ project the two ways a user does, and runs its tests:
#  1. against an installed Quarnel: `cmake --install <build-dir> --prefix <tmp>`, then each
#     example configured with -DCMAKE_PREFIX_PATH=<tmp>, built and tested with ctest;
#  2. together with the tree: a generated parent project that does add_subdirectory of the
#     tree and of the example; its ctest must list the example's tests and no kernel test.
# Also builds and runs every code block of docs/guide.md (scripts/check_guide.sh), and
# compiles and runs a one-file program with `pkg-config --cflags --libs quarnel`.
# Ends with "examples: N passed, M failed"; any failure fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=stages.sh
source "$root/scripts/stages.sh"
build=$(cd "${1:-$root/build/release}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
# These builds check that the package and the tree serve a user's project; the release tree has
# run the examples' tests at -O2 already. -O1 without debug information compiles them faster.
configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG")

status=0
passed=0
failed=0
# Adds the counts of a ctest log ("NN% tests passed, F tests failed out of T").
count_ctest() {
  local summary f t
  summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$1" | tail -n 1 || true)
  if [ -z "$summary" ]; then
    echo "no ctest summary in $1"
    status=1
    failed=$((failed + 1))
    return
  fi
  f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + t - f))
  failed=$((failed + f))
}
# Runs a named check: counts one pass or one failure.
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "=== FAILED: $name"
    failed=$((failed + 1))
    status=1
  fi
}

echo "=== installing $build into $prefix"
install_tree() { cmake --install "$build" --prefix "$prefix" >"$work/install.log"; }
stage "examples: install" install_tree

declare -A tests_of  # each example's number of tests, as its own project lists them
# Builds and tests one example as a user's own project against the installed package.
installed_example() {
  local example=$1 name out
  name=$(basename "$example")
  out="$work/installed-$name"
  if cmake -S "$example" -B "$out" "${configure[@]}" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null &&
    cmake --build "$out" -j 2 >"$work/build-installed-$name.log"; then
    ctest --test-dir "$out" --output-on-failure --timeout 300 | tee "$work/ctest-installed-$name.log" || status=1
    count_ctest "$work/ctest-installed-$name.log"
    tests_of[$name]=$(ctest --test-dir "$out" -N | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
  else
    tail -n 40 "$work/build-installed-$name.log" 2>/dev/null || true
    echo "=== FAILED: $name does not build against the installed package"
    failed=$((failed + 1))
    status=1
  fi
}
for example in "$root"/examples/*/; do
  example=${example%/}
  echo "=== $(basename "$example") against the installed package"
  stage "examples: $(basename "$example") installed" installed_example "$example"
done

# One parent project that adds the tree once and every example beside it, as a user's own
# project holding several models does; the tree's library is then built once, not per example.
with_the_tree() {
  local parent="$work/parent" out="$work/parent/build" names name
  mkdir -p "$parent"
  {
    echo "cmake_minimum_required(VERSION 3.25)"
    echo "project(parent_of_the_examples LANGUAGES CXX)"
    echo "enable_testing()"
    echo "add_subdirectory(\"$root\" quarnel)"
    for example in "$root"/examples/*/; do
      example=${example%/}
      echo "add_subdirectory(\"$example\" $(basename "$example"))"
    done
  } >"$parent/CMakeLists.txt"
  if ! cmake -S "$parent" -B "$out" "${configure[@]}" >"$work/configure-tree.log" ||
    ! cmake --build "$out" -j 2 >"$work/build-tree.log"; then
    tail -n 40 "$work/configure-tree.log" "$work/build-tree.log" 2>/dev/null || true
    echo "=== FAILED: the examples do not build with the tree"
    failed=$((failed + 1))
    status=1
    return
  fi
  # The parent's CTest holds the examples' tests only: the kernel's are off in a subproject.
  ctest --test-dir "$out" -N >"$work/list-tree.log"
  for name in "${!tests_of[@]}"; do
    # With the tree an example may add tests that need the tree (its browser tests): at least as many.
    check "$name: the parent lists its ${tests_of[$name]} tests" \
      test "$(grep -cE "Test +#[0-9]+: $name[.]" "$work/list-tree.log")" -ge "${tests_of[$name]}"
  done
  names=$(for example in "$root"/examples/*/; do basename "${example%/}"; done | paste -sd'|')
  check "the parent's ctest lists only the examples' tests" \
    awk -v n="$names" '/Test +#/ { total++; if ($3 !~ "^(" n ")[.]") { print "not an example'"'"'s: " $3; bad++ } }
      END { exit (total > 0 && bad == 0) ? 0 : 1 }' "$work/list-tree.log"
  ctest --test-dir "$out" --output-on-failure --timeout 300 | tee "$work/ctest-tree.log" || status=1
  count_ctest "$work/ctest-tree.log"
}
echo "=== every example built with the tree (add_subdirectory)"
stage "examples: with the tree" with_the_tree

echo "=== the code blocks of docs/guide.md against the installed package"
stage "examples: guide" check "every code block of the guide builds and runs" bash "$root/scripts/check_guide.sh" "$prefix" "$work/guide"

echo "=== pkg-config"
cat >"$work/pc.cpp" <<'CPP'
#include <quarnel/Quarnel.h>

#include <cstdio>

int main() {
  std::printf("Quarnel %s = %d.%d.%d %s\n", quarnel::version_string, quarnel::version_major, quarnel::version_minor,
              quarnel::version_patch, quarnel::to_string(quarnel::Revision(3, 1)).c_str());
}
CPP
version=$(sed -nE 's/^project\(Quarnel VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
pc_build() {
  local flags
  flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs quarnel) &&
    # shellcheck disable=SC2086
    c++ -o "$work/pc" "$work/pc.cpp" $flags &&
    "$work/pc" | tee "$work/pc.out" && grep -qx "Quarnel $version = $version Rev(3,1)" "$work/pc.out"
}
stage "examples: pkg-config" check "a one-file program built with pkg-config" pc_build

echo "examples: ${passed} passed, ${failed} failed"
exit $status
