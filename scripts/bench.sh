#!/usr/bin/env bash
# Usage: scripts/bench.sh [quarnel_bench options...]
# Installs what is missing, builds the release tree, runs the benchmarks (all of them, or
# those the options select, e.g. --benchmark_filter='agents:1000000'), then measures the
# memory the engine adds per agent: the peak resident memory of a population run of
# 1000000 agents minus that of a run of 0 agents, divided by 1000000.
# Timings mean something only on an otherwise idle machine. QUARNEL_BUILD_DIR replaces the
# build folder (default build/release).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARNEL_BUILD_DIR:-$root/build/release}
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$build"

"$build/bench/quarnel_bench" "$@"

# The population program writes ./log/; run it in a scratch folder.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
peak_kib() {
  (cd "$work" && "$build/bench/quarnel_peak_memory" "$build/apps/population/population" --num_agents "$1" \
    --threads 1 >"$work/out.txt" || true)
  awk '/^peak_rss_kib/ { print $2 }' "$work/out.txt"
}
empty=$(peak_kib 0)
full=$(peak_kib 1000000)
awk -v e="$empty" -v f="$full" 'BEGIN {
  printf "peak resident memory: 0 agents %d KiB, 1000000 agents %d KiB\n", e, f
  printf "memory added per agent: %.1f bytes\n", (f - e) * 1024 / 1000000
}'
