#!/usr/bin/env bash
# Runs inside the i386 root (see scripts/test-i386): the C++ core tests with
# the native 32-bit compiler, then the Python suite under CPython and PyPy.
# Usage: i386_inside.sh JOBS PART...   (parts: cxx cpython pypy)
set -euo pipefail
jobs=$1
shift
src=/kestrava/src
state=/kestrava/state
mkdir -p "$state"
cd "$src"
. scripts/lib/python_suite.sh

status=0
for part in "$@"; do
  case "$part" in
    cxx)
      echo "=== C++ core tests: i386 root (g++ $(g++ -dumpfullversion), $(uname -m)) ==="
      cmake -S "$src" -B "$state/build-cxx" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRAVA_WERROR=ON >/dev/null
      cmake --build "$state/build-cxx" -j "$jobs"
      (cd "$state/build-cxx" && ctest --output-on-failure -j "$jobs") || status=1
      ;;
    cpython)
      python_suite_run "CPython i386" python3 "$state/venv-cpython" "$src" || status=1
      ;;
    pypy)
      python_suite_run "PyPy i386" pypy3 "$state/venv-pypy" "$src" || status=1
      ;;
    *)
      echo "unknown part: $part" >&2
      exit 2
      ;;
  esac
done
exit $status
