#!/usr/bin/env bash
# Usage: scripts/build.sh <build-dir> [sanitizer] [target ...]   sanitizer: address | thread
# Configures (once) and builds the whole tree into <build-dir>, or only the targets named.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?build directory}
san=${2:-}
shift $(($# < 2 ? $# : 2))
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_SANITIZE="$san" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
