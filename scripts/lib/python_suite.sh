# Builds the module with one interpreter into a virtual environment made with
# that interpreter and runs the Python test suite there. Shared by
# scripts/test-pypy (host) and scripts/lib/i386_inside.sh (i386 root).

# python_suite_run LABEL PYTHON VENV SRC
python_suite_run() {
  local label=$1 python=$2 venv=$3 src=$4
  if [ ! -f "$src/pyproject.toml" ] || [ ! -d "$src/src/test/python" ]; then
    echo "=== Python suite: $label: no Python module in this tree yet, skipped ==="
    return 0
  fi
  echo "=== Python suite: $label ($("$python" -c 'import sys, platform; print(platform.python_implementation(), sys.version.split()[0], 8 * __import__("struct").calcsize("P"), "bit")')) ==="
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
  fi
  local py="$venv/bin/python"
  local reqs
  reqs=$(python_suite_requirements "$src")
  # Where no numpy can be had (KESTRAVA_SUITE_WITHOUT_NUMPY), its cases skip.
  if [ -n "${KESTRAVA_SUITE_WITHOUT_NUMPY:-}" ]; then
    reqs=$(echo "$reqs" | grep -v '^numpy')
  fi
  # shellcheck disable=SC2086
  (IFS=$'\n'; "$py" -m pip install -q $reqs)
  "$py" -m pip install -q --no-build-isolation --force-reinstall --no-deps "$src"
  (cd "$src/src/test/python" &&
    "$py" -c "import kestrava_core, sys; print('kestrava_core:', kestrava_core.__file__)" &&
    "$py" -m pytest -q -p no:cacheprovider .)
}

# The build and test dependencies, from PyPI: the build system's requirements
# and the test requirements below.
python_suite_requirements() {
  _python_requirements "$1" build test
}

# The test dependencies: the "test" extra of pyproject.toml, plus mypy for
# the stubs test.
python_test_requirements() {
  _python_requirements "$1" test
}

# The build system's requirements alone, for installing the module without
# the test tools.
python_build_requirements() {
  _python_requirements "$1" build
}

# _python_requirements SRC KIND...: read with the system python3 (tomllib),
# since the interpreter under test may be older than 3.11.
_python_requirements() {
  python3 - "$@" <<'PY'
import sys, tomllib
with open(sys.argv[1] + "/pyproject.toml", "rb") as f:
    meta = tomllib.load(f)
reqs = []
if "build" in sys.argv[2:]:
    reqs += meta["build-system"]["requires"]
if "test" in sys.argv[2:]:
    reqs += meta["project"]["optional-dependencies"]["test"] + [
        # mypy 1.19 imports librt, which it does not install on PyPy.
        "mypy; platform_python_implementation != 'PyPy'",
        "mypy<1.19; platform_python_implementation == 'PyPy'",
        # hypothesis 6.156 and later carry a compiled part whose PyPy 3.11
        # build needs a newer PyPy than Debian's 7.3.19 (it does not import).
        "hypothesis<6.156; platform_python_implementation == 'PyPy'",
    ]
print("\n".join(reqs))
PY
}

# python_suite_stage SRC DEST: copies the Python suite of the source tree SRC
# to DEST with the files of the tree it reads (the README for its usage
# example, the core's headers and the symbol table reader for the export
# check, the interpreter check's header), in the same layout but without
# anything that could be imported as the module; the suite then runs in
# DEST/src/test/python.
python_suite_stage() {
  local src=$1 dest=$2
  rm -rf "$dest"
  mkdir -p "$dest"
  (cd "$src" && {
    echo README.md
    echo src/main/bindings/python/main/version_check.h
    echo src/test/tools/check_exports.py
    find src/test/python \( -name __pycache__ -o -name .pytest_cache -o -name .hypothesis \) -prune \
      -o -type f -print
    find src/main/core -name '*.h'
  } | tar -cf - -T -) | tar -C "$dest" -xf -
}
