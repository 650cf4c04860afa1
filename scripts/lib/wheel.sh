# Tools for, repairing and checking wheels, for scripts/wheels. Sourced after
# scripts/lib/python_suite.sh.

# The tag the wheels are repaired to: manylinux2014, glibc 2.17. zig builds
# them against glibc 2.17's symbol versions with its own C++ runtime linked
# in (scripts/lib/zig.sh); auditwheel refuses the repair if a change needs
# anything newer, so the tag cannot silently drift.
WHEEL_PLATFORM=manylinux_2_17

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

# wheel_manylinux PYTHON RAW OUT: the wheel RAW (tagged linux_ARCH by its
# build) with the manylinux tag, in OUT, once auditwheel (installed for
# PYTHON) finds it consistent with that tag and needing no library outside
# its policy; nothing is copied into it. (auditwheel's repair would only
# retag it, and repairs no wheel of another architecture than this
# machine's.) Prints the tagged wheel's path.
wheel_manylinux() {
  local py=$1 raw=$2 out=$3 arch plat tagged
  arch=${raw%.whl}
  arch=${arch##*-linux_}
  plat=${WHEEL_PLATFORM}_$arch
  "$py" -m auditwheel show --json "$raw" 2>/dev/null | "$py" -c '
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
    problems.append("libraries were copied into it: %s" % copied)
if problems:
    sys.exit("%s: %s" % (wheel, "; ".join(problems)))
' "$plat" "$raw" || return
  mkdir -p "$out"
  cp "$raw" "$out/"
  # Both names of the tag, for pip older than 20.3 too.
  tagged=$("$py" -m wheel tags --remove --platform-tag "$plat.manylinux2014_$arch" "$out/$(basename "$raw")") || return
  tagged=$out/$tagged
  "$py" -m auditwheel show "$tagged" 2>/dev/null | awk 'NF { printf "%s ", $0; next } { if (n++) exit }' >&2
  echo >&2
  echo "$tagged"
}

# wheel_contents_check PYTHON WHEEL SRC: the wheel holds the package
# kestrava_core (the extension module as its __init__, and the command line
# with its console script) and every type stub of the source tree SRC, and
# carries the version of its pyproject.toml.
wheel_contents_check() {
  "$1" - "$2" "$3" <<'PY'
import pathlib, re, sys, tomllib, zipfile
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
if "kestrava_core/__main__.py" not in names:
    problems.append("no command line")
# The console scripts of pyproject.toml.
declared = tomllib.loads((src / "pyproject.toml").read_text())["project"].get("scripts", {})
entry_points = "kestrava_core-%s.dist-info/entry_points.txt" % version
text = zipfile.ZipFile(wheel).read(entry_points).decode() if entry_points in names else ""
missing = {name for name, target in declared.items() if not re.search(r"(?m)^%s = %s$" % (re.escape(name), re.escape(target)), text)}
if not declared or missing:
    problems.append("console scripts missing: %s" % (sorted(missing) or "none declared"))
if "kestrava_core-%s.dist-info/METADATA" % version not in names or not wheel.name.startswith("kestrava_core-%s-" % version):
    problems.append("not version %s" % version)
if problems:
    sys.exit("%s: %s" % (wheel.name, "; ".join(problems)))
PY
}

# wheel_machine_code_check WHEEL: the module's AVX-512 search passes were
# compiled (zmm instructions) and the choice of them reads the processor
# with cpuid, not through a feature table that the wheels' runtime would
# leave empty (__cpu_model).
wheel_machine_code_check() {
  local dir module code
  dir=$(mktemp -d)
  python3 -c 'import sys, zipfile
w = zipfile.ZipFile(sys.argv[1])
w.extractall(sys.argv[2], [n for n in w.namelist() if n.startswith("kestrava_core") and n.endswith(".so")])' "$1" "$dir"
  module=$(find "$dir" -name '*.so' | head -n 1)
  code=$(objdump -d --no-show-raw-insn "$module" 2>/dev/null)
  local zmm cpuid model
  zmm=$(grep -c zmm <<<"$code" || true)
  cpuid=$(grep -c $'\tcpuid' <<<"$code" || true)
  model=$(grep -c '__cpu_model\|__cpu_indicator_init' <<<"$code" || true)
  rm -rf "$dir"
  if [ "$zmm" = 0 ] || [ "$cpuid" = 0 ] || [ "$model" != 0 ]; then
    echo "$1: zmm instructions: $zmm, cpuid: $cpuid, __cpu_model uses: $model" >&2
    return 1
  fi
  echo "  machine code: $zmm zmm instructions (AVX-512 passes), chosen with cpuid" >&2
}

