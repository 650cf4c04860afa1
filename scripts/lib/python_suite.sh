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
  "$py" -m pip install -q $(python_suite_requirements "$src")
  "$py" -m pip install -q --no-build-isolation --force-reinstall --no-deps "$src"
  (cd "$src/src/test/python" &&
    "$py" -c "import kestrava_core, sys; print('kestrava_core:', kestrava_core.__file__)" &&
    "$py" -m pytest -q -p no:cacheprovider .)
}

# The build and test dependencies, from PyPI.
python_suite_requirements() {
  echo "scikit-build-core pybind11>=2.13,<3 pytest hypothesis cbor2 numpy"
}
