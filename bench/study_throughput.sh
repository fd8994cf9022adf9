#!/usr/bin/env bash
# Usage: bench/study_throughput.sh [build-dir]   (default build/release, built beforehand)
# Measures what a study costs its driver:
#  1. throughput: 200 replications of Schelling small on 1 job and on 2 jobs, alternated three
#     times; prints each time, the medians and their ratio (2 jobs over 1);
#  2. memory: the driver's peak resident memory (VmHWM, sampled from /proc while it runs, so
#     its runs' own memory is not counted) for 100, 1000 and 10000 runs of a tiny model.
# Timings mean something only on an otherwise idle machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
schelling=$build/examples/schelling/schelling
tiny=$build/examples/first_model/first_model
for program in "$schelling" "$tiny"; do
  [ -x "$program" ] || { echo "$0: $program is missing: build the tree first" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

seconds() {  # seconds <jobs>: the wall time of one study
  rm -f "$work/t.db"
  local start end
  start=$(date +%s.%N)
  "$schelling" study --replications 200 --seed 1 --jobs "$1" --sqlite "$work/t.db" >/dev/null
  end=$(date +%s.%N)
  echo "$start $end" | awk '{ printf "%.3f", $2 - $1 }'
}
median() { tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

one=() two=()
for round in 1 2 3; do
  one+=("$(seconds 1)")
  two+=("$(seconds 2)")
  echo "round $round: 1 job ${one[-1]} s, 2 jobs ${two[-1]} s"
done
m1=$(echo "${one[*]}" | median)
m2=$(echo "${two[*]}" | median)
awk -v a="$m1" -v b="$m2" 'BEGIN { printf "200 Schelling small runs: 1 job %.3f s, 2 jobs %.3f s (medians), ratio %.2f\n", a, b, b / a }'

peak_kib() {  # peak_kib <runs>: the driver's VmHWM at its last sample
  rm -f "$work/m.db"
  "$tiny" study --replications "$1" --set people=1 --set steps=1 --sqlite "$work/m.db" >/dev/null &
  local pid=$! peak=0 now
  while kill -0 "$pid" 2>/dev/null; do
    now=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$now" ] && peak=$now
    sleep 0.05
  done
  wait "$pid"
  echo "$peak"
}
echo "driver peak resident memory: 100 runs $(peak_kib 100) KiB, 1000 runs $(peak_kib 1000) KiB," \
  "10000 runs $(peak_kib 10000) KiB"
