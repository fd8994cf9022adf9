#!/usr/bin/env bash
# Usage: scripts/plot_series.sh <csv> <png> <title>
# Plots every column of a CSV (a header line, then numbers) against its first column, one
# line per column named by its header, into an 800 x 500 PNG. Needs gnuplot (gnuplot-nox,
# installed by scripts/install-deps.sh).
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 <csv> <png> <title>" >&2
  exit 1
fi
csv=$1
png=$2
title=$3
if [ ! -r "$csv" ]; then
  echo "$0: cannot read '$csv'" >&2
  exit 1
fi
columns=$(head -n 1 "$csv" | awk -F, '{ print NF }')
if [ "$columns" -lt 2 ]; then
  echo "$0: '$csv' needs a header with at least two columns" >&2
  exit 1
fi
command -v gnuplot >/dev/null || {
  echo "$0: gnuplot is missing (bash scripts/install-deps.sh)" >&2
  exit 1
}
# Quotes in the title would end gnuplot's string.
title=${title//\"/\'}
gnuplot <<GNUPLOT
set terminal pngcairo size 800,500 noenhanced
set output "$png"
set datafile separator ","
set key autotitle columnhead outside bottom center horizontal
set title "$title"
set xlabel "$(head -n 1 "$csv" | cut -d, -f1)"
set grid
plot for [i=2:$columns] "$csv" using 1:i with lines linewidth 2
GNUPLOT
