#!/usr/bin/env bash
# Builds the shared core of another commit (default: where this branch left
# main; on main, or without it, the commit before) under
# build/baseline-<sha>/ and prints the library's path, for bench_diff
# --baseline. KESTRAVA_BASELINE_FLAGS adds compiler flags (-m32 for the
# 32-bit build's baseline). With --python it installs that commit's Python
# module into a virtual environment there instead and prints its
# interpreter, for compare_python.py.
#   src/bench/build_baseline.sh [--python] [GIT_REF]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
python=
if [ "${1:-}" = --python ]; then
  python=1
  shift
fi
if [ -n "${1:-}" ]; then
  ref=$1
else
  ref=$(git -C "$root" merge-base HEAD main 2>/dev/null || git -C "$root" rev-parse HEAD)
  [ "$ref" != "$(git -C "$root" rev-parse HEAD)" ] || ref=HEAD^
fi
sha=$(git -C "$root" rev-parse --verify "$ref^{commit}")
flags=${KESTRAVA_BASELINE_FLAGS:-}
home="$root/build/baseline-${sha:0:12}${flags:+-$(echo "$flags" | tr -c 'A-Za-z0-9\n' '_')}"
lib="$home/build/libkestrava_core.so"
if [ ! -f "$home/src/CMakeLists.txt" ]; then
  rm -rf "$home"
  mkdir -p "$home/src"
  git -C "$root" archive "$sha" | tar -x -C "$home/src"
fi
if [ -n "$python" ]; then
  . "$root/scripts/lib/deps.sh"
  . "$root/scripts/lib/python_suite.sh"
  ensure_python_dev_deps
  venv="$home/venv"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  if ! "$venv/bin/python" -c "import kestrava_core" 2>/dev/null; then
    # shellcheck disable=SC2046
    (IFS=$'\n'; "$venv/bin/python" -m pip install -q $(python_build_requirements "$home/src")) >&2
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps "$home/src" >&2
  fi
  echo "$venv/bin/python"
  exit 0
fi
if [ ! -f "$lib" ]; then
  cmake -S "$home/src" -B "$home/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRAVA_BUILD_TESTS=OFF ${flags:+"-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags"} >&2
  cmake --build "$home/build" -j 2 --target kestrava_core_shared >&2
fi
echo "$lib"
