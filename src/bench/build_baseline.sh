#!/usr/bin/env bash
# Builds the shared core of another commit (default: the parent of the
# search speed-ups, f44f9ad) under build/baseline-<sha>/ and prints the
# library's path, for bench_diff --baseline.
#   src/bench/build_baseline.sh [GIT_REF]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
ref=${1:-f44f9ad}
sha=$(git -C "$root" rev-parse --verify "$ref^{commit}")
home="$root/build/baseline-${sha:0:12}"
lib="$home/build/libkestrava_core.so"
if [ ! -f "$lib" ]; then
  rm -rf "$home"
  mkdir -p "$home/src"
  git -C "$root" archive "$sha" | tar -x -C "$home/src"
  cmake -S "$home/src" -B "$home/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRAVA_BUILD_TESTS=OFF ${KESTRAVA_BASELINE_FLAGS:+"-DCMAKE_CXX_FLAGS=$KESTRAVA_BASELINE_FLAGS"} >&2
  cmake --build "$home/build" -j 2 --target kestrava_core_shared >&2
fi
echo "$lib"
