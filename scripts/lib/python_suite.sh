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
  # shellcheck disable=SC2086
  (IFS=$'\n'; "$py" -m pip install -q $reqs)
  "$py" -m pip install -q --no-build-isolation --force-reinstall --no-deps "$src"
  (cd "$src/src/test/python" &&
    "$py" -c "import kestrava_core, sys; print('kestrava_core:', kestrava_core.__file__)" &&
    "$py" -m pytest -q -p no:cacheprovider .)
}

# The build and test dependencies, from PyPI: the build system's requirements
# and the "test" extra of pyproject.toml, plus mypy for the stubs test. Read
# with the system python3 (tomllib), since the interpreter under test may be
# older than 3.11.
python_suite_requirements() {
  python3 - "$1/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    meta = tomllib.load(f)
reqs = meta["build-system"]["requires"] + meta["project"]["optional-dependencies"]["test"] + [
    # mypy 1.19 imports librt, which it does not install on PyPy.
    "mypy; platform_python_implementation != 'PyPy'",
    "mypy<1.19; platform_python_implementation == 'PyPy'",
]
print("\n".join(reqs))
PY
}

# The build system's requirements alone, for installing the module without
# the test tools.
python_build_requirements() {
  python3 - "$1/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))
PY
}
