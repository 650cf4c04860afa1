#!/usr/bin/env bash
# Runs inside a Debian root for scripts/wheels, with the working tree in
# /kestrava/src.
#   wheel_inside.sh build JOBS OUT PYTHON...
#     builds a wheel for each interpreter from the sdist in /kestrava/sdist
#     into OUT, with the zig wrappers and the prebuilt core that
#     scripts/wheels mounts at /kestrava/wheel-tools (see scripts/lib/zig.sh);
#     (OUT/built lists each interpreter with its wheel);
#   wheel_inside.sh test ROOT PYTHON WHEEL
#     installs WHEEL with pip into a new virtual environment of PYTHON and
#     runs the Python suite against it; only where no compiler is installed.
set -euo pipefail
src=/kestrava/src
state=/kestrava/state
tools=/kestrava/wheel-tools
mkdir -p "$state"
cd "$src"
. scripts/lib/python_suite.sh
. scripts/lib/zig.sh

# The wrappers and the core of this root's architecture (zig.sh: zig_target).
wheel_arch() {
  case "$(uname -m)" in
    x86_64) echo x86_64 ;;
    *) echo i686 ;;
  esac
}

build() {
  local jobs=$1 out=$2 work=$state/wheel-build python name arch log
  shift 2
  arch=$(wheel_arch)
  rm -rf "$work" "$out"
  mkdir -p "$work/sdist" "$out"
  tar -C "$work/sdist" -xzf /kestrava/sdist/*.tar.gz
  local source defines=() define
  source=$(echo "$work"/sdist/*)
  for define in $(zig_cmake_args "$tools/$arch") "-DKESTRAVA_CORE_LIBRARY=$tools/$arch/libkestrava_core_static.a"; do
    defines+=(-C "cmake.define.${define#-D}")
  done
  for python in "$@"; do
    name=$(basename "$python")
    log=$work/$name.log
    echo "=== wheel: $("$python" -c 'import platform, sys; print(platform.python_implementation(), sys.version.split()[0])') $arch ==="
    [ -x "$state/wheel-tools-$name/bin/python" ] || "$python" -m venv "$state/wheel-tools-$name"
    "$state/wheel-tools-$name/bin/python" -m pip install -q -U pip build
    # Build isolation: the build requirements of pyproject.toml, as pip
    # resolves them for this interpreter (the binding library's version
    # among them).
    if ! CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$state/wheel-tools-$name/bin/python" -m build --wheel \
      --outdir "$out/$name" "${defines[@]}" -C "build-dir=$work/build-$name" "$source" >"$log" 2>&1; then
      tail -n 40 "$log" >&2
      echo "wheel build failed; full log in the root: $log" >&2
      return 1
    fi
    grep -o 'Found pybind11.*version.*' "$log" | head -n 1 | sed 's/^/  /' || true
    echo "$python $name/$(cd "$out/$name" && ls ./*.whl | cut -c3-)" >>"$out/built"
  done
}

# No C or C++ compiler may be reachable: the wheel must install without one.
no_compilers() {
  local found
  found=$(compgen -c | grep -E '^(cc|c\+\+|c89|c99|gcc|g\+\+|cpp|clang|clang\+\+)$|-(gcc|g\+\+|cpp)(-[0-9]+)?$' | sort -u || true)
  if [ -n "$found" ] || ls /usr/lib/gcc/*/*/cc1 /usr/lib/gcc/*/*/cc1plus >/dev/null 2>&1; then
    echo "compilers still present: $found" >&2
    return 1
  fi
}

test_wheel() {
  local label python=$2 wheel=$3 work venv tests site reqs_text numpy
  label="$1 $("$python" -c 'import platform, sys; print(platform.python_implementation(), sys.version.split()[0], platform.machine())')"
  work=$state/wheel-test/$(basename "$python")
  venv=$work/venv tests=$work/tests
  no_compilers
  echo "=== Python suite against the installed wheel: $label ($(basename "$wheel")) ==="
  echo "no compiler: cc, c++, gcc, g++, cpp not found; no cc1, cc1plus"
  rm -rf "$work"
  mkdir -p "$work"
  # Debian's numpy, where the interpreter has it (PyPI has no i386 numpy),
  # through the system site; everything else from PyPI, as wheels only.
  local venv_options=()
  if "$python" -c 'import numpy' 2>/dev/null; then
    venv_options+=(--system-site-packages)
  fi
  "$python" -m venv "${venv_options[@]}" "$venv"
  local py=$venv/bin/python reqs=() pip_options=(--only-binary=:all:)
  # PyPy's numpy for i386, where scripts/test-i386 built one, is in the root's wheelhouse.
  [ -d "$state/wheelhouse" ] && pip_options+=(--find-links "$state/wheelhouse")
  reqs_text=$(python_test_requirements "$src" | grep -v '^numpy')
  mapfile -t reqs <<<"$reqs_text"
  "$py" -m pip install -q "${pip_options[@]}" "${reqs[@]}"
  if "$py" -c 'import numpy' 2>/dev/null; then
    numpy="Debian's numpy $("$py" -c 'import numpy; print(numpy.__version__)')"
  elif "$py" -m pip install -q "${pip_options[@]}" numpy >"$work/numpy.log" 2>&1; then
    numpy="numpy $("$py" -c 'import numpy; print(numpy.__version__)') from a wheel"
  else
    numpy="no numpy wheel for this interpreter: the numpy cases are skipped"
  fi
  echo "numpy: $numpy"
  "$py" -m pip install -q "$wheel"
  python_suite_stage "$src" "$tests"
  site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  # The console scripts pyproject.toml declares, run once each as a user would.
  local script
  for script in $(python3 -c 'import sys, tomllib; print(" ".join(tomllib.load(open(sys.argv[1], "rb"))["project"].get("scripts", {})))' "$src/pyproject.toml"); do
    echo "$script --version: $("$venv/bin/$script" --version)"
  done
  (cd "$tests/src/test/python" &&
    "$py" -c "import kestrava_core; print('kestrava_core:', kestrava_core.__file__)" &&
    KESTRAVA_EXPECT_MODULE_IN="$site" "$py" -m pytest -q -rs -p no:cacheprovider .)
}

case "${1:-}" in
  build) shift; build "$@" ;;
  test) shift; test_wheel "$@" ;;
  *) echo "usage: wheel_inside.sh build JOBS OUT PYTHON... | test ROOT PYTHON WHEEL" >&2; exit 2 ;;
esac
