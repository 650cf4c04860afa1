#!/usr/bin/env bash
# Runs inside the i386 root (see scripts/test-i386): the C++ core tests with
# the native 32-bit compiler, then the Python suite under CPython and PyPy.
# Usage: i386_inside.sh JOBS PART...   (parts: cxx cpython pypy)
set -euo pipefail
jobs=$1
shift
src=/kestrava/src
state=/kestrava/state
wheelhouse=$state/wheelhouse
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
mkdir -p "$state"
cd "$src"
. scripts/lib/python_suite.sh
. scripts/lib/wheel.sh
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
# The newest releases of some test tools (cbor2 6, hypothesis 6.170) have
# no i386 wheel and build with Rust, which their build would download:
# older releases with wheels (pure Python) are preferred.
echo "cbor2<6" >"$state/constraints.txt"
export PIP_CONSTRAINT=$state/constraints.txt PIP_PREFER_BINARY=1

# Neither PyPI nor Debian has numpy for PyPy on i386, so a wheel of it is
# built from source once and kept in the root's wheelhouse. numpy 2.0's FFT
# module does not compile where Py_ssize_t is long, so 1.26 it is; and
# meson's size checks link small programs, which with PyPy's headers need
# libpypy for the static inline wrappers those headers define.
pypy_numpy_wheel() {
  ls "$wheelhouse"/numpy-*.whl >/dev/null 2>&1 && return 0
  local py
  py=$(wheel_tools "$state/wheel-tools-pypy" pypy3 -U pip build)
  echo "=== building numpy for PyPy i386 (once per root) ==="
  LDFLAGS=-lpypy3.9-c "$py" -m pip wheel -q --no-deps -w "$wheelhouse" \
    --config-settings=setup-args=-Dcpu-dispatch=none \
    --config-settings=compile-args=-j"$jobs" "numpy<1.27"
}

# Only for bookworm's PyPy 3.9: for trixie's PyPy 3.11 no numpy release
# builds here without changes, so its numpy cases are skipped (and say so).
pypy_numpy() {
  local venv=$1
  [ -x "$venv/bin/python" ] || pypy3 -m venv "$venv"
  "$venv/bin/python" -c 'import numpy' 2>/dev/null && return 0
  if ! pypy3 -c 'import sys; sys.exit(sys.version_info[:2] != (3, 9))'; then
    echo "numpy: none for PyPy $(pypy3 -c 'import sys; print("%d.%d" % sys.version_info[:2])') on i386; the numpy cases are skipped"
    export KESTRAVA_SUITE_WITHOUT_NUMPY=1
    return 0
  fi
  pypy_numpy_wheel
  "$venv/bin/python" -m pip install -q --no-index --find-links "$wheelhouse" "numpy<1.27"
}

status=0
for part in "$@"; do
  case "$part" in
    cxx)
      echo "=== C++ core tests: $release i386 root (g++ $(g++ -dumpfullversion), $(uname -m)) ==="
      cmake -S "$src" -B "$state/build-cxx" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRAVA_WERROR=ON >/dev/null
      cmake --build "$state/build-cxx" -j "$jobs"
      (cd "$state/build-cxx" && ctest --output-on-failure -j "$jobs") || status=1
      ;;
    cpython)
      # PyPI has no i386 numpy; Debian's comes in through the system site.
      [ -x "$state/venv-cpython/bin/python" ] || python3 -m venv --system-site-packages "$state/venv-cpython"
      python_suite_run "CPython i386 ($release)" python3 "$state/venv-cpython" "$src" || status=1
      ;;
    pypy)
      pypy_numpy "$state/venv-pypy"
      python_suite_run "PyPy i386 ($release)" pypy3 "$state/venv-pypy" "$src" || status=1
      ;;
    *)
      echo "unknown part: $part" >&2
      exit 2
      ;;
  esac
done
exit $status
