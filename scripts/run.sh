#!/usr/bin/env bash
# Installs what is missing, builds the population program (and only what it needs), and runs it.
# Extra arguments go to the program, e.g. scripts/run.sh --num_agents 1000000 --threads 2
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$root/build/release" "" population
cd "$root/build/release"
exec ./apps/population/population "$@"
