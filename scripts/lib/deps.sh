# Shared by the scripts: install the build tools when a machine lacks them.
apt_install() {
  if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages: $* (run as root to install them)" >&2
    return 1
  fi
  if [ -z "${_kestrava_apt_updated:-}" ]; then
    apt-get update -qq
    _kestrava_apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

ensure_build_deps() {
  local need=()
  command -v g++ >/dev/null || need+=(g++)
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  command -v nm >/dev/null || need+=(binutils)
  command -v python3 >/dev/null || need+=(python3)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  dpkg -s g++-multilib >/dev/null 2>&1 || need+=(g++-multilib)
  if [ ${#need[@]} -gt 0 ]; then
    apt_install "${need[@]}"
  fi
}

# Debian's python3 keeps venv and the C headers in separate packages.
ensure_python_dev_deps() {
  local need=()
  python3 -c 'import ensurepip, venv' 2>/dev/null || need+=(python3-venv)
  python3 -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || need+=(python3-dev)
  if [ ${#need[@]} -gt 0 ]; then
    apt_install "${need[@]}"
  fi
}

# Debian's PyPy, with its C headers and venv support.
ensure_pypy_deps() {
  local need=() pkg
  for pkg in pypy3 pypy3-dev pypy3-venv; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  if [ ${#need[@]} -gt 0 ]; then
    apt_install "${need[@]}"
  fi
}

# clang with the libFuzzer and sanitizer runtimes, for scripts/fuzz.
ensure_fuzz_deps() {
  ensure_python_dev_deps
  command -v clang++ >/dev/null || apt_install clang
  local rt
  rt=$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a)
  if [ ! -f "$rt" ]; then
    apt_install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
  fi
}
