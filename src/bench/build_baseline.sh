#!/usr/bin/env bash
# Builds the shared core of another commit (default: the parent of the
# search speed-ups, f44f9ad) under build/baseline-<sha>/ and prints the
# library's path, for bench_diff --baseline. KESTRAVA_BASELINE_FLAGS adds
# compiler flags (-m32 for the 32-bit build's baseline).
#   src/bench/build_baseline.sh [GIT_REF]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
ref=${1:-f44f9ad}
sha=$(git -C "$root" rev-parse --verify "$ref^{commit}")
flags=${KESTRAVA_BASELINE_FLAGS:-}
home="$root/build/baseline-${sha:0:12}${flags:+-$(echo "$flags" | tr -c 'A-Za-z0-9\n' '_')}"
lib="$home/build/libkestrava_core.so"
if [ ! -f "$lib" ]; then
  rm -rf "$home"
  mkdir -p "$home/src"
  git -C "$root" archive "$sha" | tar -x -C "$home/src"
  cmake -S "$home/src" -B "$home/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRAVA_BUILD_TESTS=OFF ${flags:+"-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags"} >&2
  cmake --build "$home/build" -j 2 --target kestrava_core_shared >&2
fi
echo "$lib"
