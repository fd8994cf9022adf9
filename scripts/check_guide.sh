#!/usr/bin/env bash
# Usage: scripts/check_guide.sh <installed-prefix> <work-dir>
# Builds every code block of docs/guide.md against an installed Quarnel and runs the programs:
# the first C++ block with the guide's own CMakeLists.txt block, as a reader would, the others
# in one generated project. Each program must exit 0. Prints one line per block.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:?installed prefix}
work=${2:?work folder}
rm -rf "$work"
mkdir -p "$work/blocks"
awk -v dir="$work/blocks" '
  /^```cpp$/   { n++; file = sprintf("%s/block_%d.cpp", dir, n); inside = 1; next }
  /^```cmake$/ { c++; file = sprintf("%s/block_%d.cmake", dir, c); inside = 1; next }
  /^```/       { if (inside) close(file); inside = 0; next }
  inside       { print > file }
' "$root/docs/guide.md"
blocks=$(ls "$work"/blocks/block_*.cpp | wc -l)
[ "$blocks" -ge 1 ] && [ -f "$work/blocks/block_1.cmake" ] || { echo "guide: no code blocks found"; exit 1; }

# The first model, exactly as the guide tells a reader to build it.
mkdir -p "$work/first"
cp "$work/blocks/block_1.cmake" "$work/first/CMakeLists.txt"
cp "$work/blocks/block_1.cpp" "$work/first/people.cpp"
cmake -S "$work/first" -B "$work/first/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/first.log"
cmake --build "$work/first/build" >>"$work/first.log" 2>&1 || { tail -n 30 "$work/first.log"; exit 1; }
(cd "$work/first" && timeout 120 ./build/people >"$work/first.out" 2>&1) || { cat "$work/first.out"; exit 1; }
echo "guide block 1: built with the guide's CMakeLists.txt and ran"

# Every other block, one program each.
mkdir -p "$work/rest"
{
  echo "cmake_minimum_required(VERSION 3.25)"
  echo "project(guide_blocks LANGUAGES CXX)"
  echo "find_package(Quarnel 0.4 CONFIG REQUIRED)"
  for i in $(seq 2 "$blocks"); do
    echo "add_executable(block_$i $work/blocks/block_$i.cpp)"
    echo "target_link_libraries(block_$i PRIVATE Quarnel::modelkit)"
  done
} >"$work/rest/CMakeLists.txt"
cmake -S "$work/rest" -B "$work/rest/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/rest.log"
cmake --build "$work/rest/build" -j 2 >>"$work/rest.log" 2>&1 || { tail -n 40 "$work/rest.log"; exit 1; }
for i in $(seq 2 "$blocks"); do
  (cd "$work/rest" && timeout 120 "./build/block_$i" >"$work/block_$i.out" 2>&1) ||
    { echo "guide block $i failed:"; cat "$work/block_$i.out"; exit 1; }
  echo "guide block $i: built and ran"
done
