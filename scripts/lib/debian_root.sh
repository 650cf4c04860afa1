# Debian roots, one per release and architecture, made once per machine with
# debootstrap under /var/cache/kestrava/RELEASE-ARCH and reused: the
# userlands whose interpreters the module is built and tested with.
# Sourced after scripts/lib/deps.sh. A script selects a root (root_select),
# makes it ready (root_ensure, which takes the root's lock until the script
# ends) and runs commands in it (root_run and friends); root_release_all,
# called at exit, unmounts what was mounted.

KESTRAVA_ROOTS=${KESTRAVA_ROOTS:-/var/cache/kestrava}
ROOT_MIRROR=${KESTRAVA_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# The packages of each root. Every root has the release's CPython and, where
# the release has one, PyPy, with headers and venv; the i386 ones Debian's
# numpy (PyPI has no i386 numpy); the roots where the module is also built
# from source with g++ (scripts/test-i386) the compiler and build tools.
_root_packages() {
  local suite=$1 arch=$2 pkgs="ca-certificates"
  pkgs+=" python3 python3-dev python3-venv"
  case "$suite" in
    bookworm | trixie) pkgs+=" pypy3 pypy3-dev pypy3-venv" ;;
  esac
  if [ "$arch" = i386 ]; then
    pkgs+=" python3-numpy"
    case "$suite" in
      bookworm | trixie) pkgs+=" g++ cmake ninja-build googletest" ;;
      # The wheel builds take CMake from PyPI, whose i686 build needs it.
      *) pkgs+=" libatomic1" ;;
    esac
  fi
  echo "$pkgs"
}

_root_mounts=()
declare -A _root_locks=()

# root_select SUITE ARCH: makes that root the current one (ROOT_DIR,
# ROOT_SUITE, ROOT_ARCH, ROOT_PACKAGES).
root_select() {
  ROOT_SUITE=$1 ROOT_ARCH=$2
  ROOT_DIR=$KESTRAVA_ROOTS/$1-$2
  if [ "$1-$2" = bookworm-i386 ] && [ -n "${KESTRAVA_I386_ROOT:-}" ]; then
    ROOT_DIR=$KESTRAVA_I386_ROOT
  fi
  ROOT_PACKAGES=$(_root_packages "$1" "$2")
}

# What `uname -m` says inside: a 32-bit machine in the i386 roots.
_root_personality() {
  case "$1" in
    i386) echo i686 ;;
    *) echo x86_64 ;;
  esac
}

root_release_all() {
  local i
  for ((i = ${#_root_mounts[@]} - 1; i >= 0; i--)); do
    umount "${_root_mounts[$i]}" 2>/dev/null || umount -l "${_root_mounts[$i]}" 2>/dev/null || true
  done
  _root_mounts=()
}

# Mounts what programs in the root expect: /proc, /dev and name resolution.
# Called under the root's lock, so a mount already there was left by a run
# that was killed: it is taken over and unmounted at the end as well.
_root_mount() {
  local target
  for target in "$ROOT_DIR/proc" "$ROOT_DIR/dev" "$ROOT_DIR/dev/pts"; do
    if ! mountpoint -q "$target"; then
      case "$target" in
        */proc) mount -t proc proc "$target" ;;
        *) mount --bind "${target#"$ROOT_DIR"}" "$target" ;;
      esac
    fi
    _root_mounts+=("$target")
  done
  cp -L /etc/resolv.conf "$ROOT_DIR/etc/resolv.conf" 2>/dev/null || true
}

# Unmounts whatever is mounted below a directory (a debootstrap that was
# interrupted leaves its /proc and /sys mounted), deepest first.
_root_umount_below() {
  local dir=$1 target
  awk -v d="$dir/" 'index($2, d) == 1 { print $2 }' /proc/self/mounts | sort -r |
    while read -r target; do
      umount "$target" 2>/dev/null || umount -l "$target" 2>/dev/null || true
    done
}

# Trusts the host's locally added CA certificates inside the root too, so
# pip reaches PyPI the same way from both sides of a TLS-inspecting proxy.
_root_sync_certs() {
  local dir=/usr/local/share/ca-certificates dest="$ROOT_DIR/usr/local/share/ca-certificates"
  [ -d "$dir" ] || return 0
  if ! diff -rq "$dir" "$dest" >/dev/null 2>&1; then
    rm -rf "$dest"
    cp -r "$dir" "$dest"
    root_run update-ca-certificates >/dev/null 2>&1
  fi
}

# Runs a command inside the current root as root, with a plain environment
# and the personality of the root's machine.
root_run() {
  _root_chroot "$ROOT_DIR" "$(_root_personality "$ROOT_ARCH")" "$@"
}

_root_chroot() {
  local dir=$1 personality=$2
  shift 2
  setarch "$personality" chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt "$@"
}

# root_run_with [--no-compilers] [--bind[-rw] HOST_DIR:ROOT_DIR]... -- COMMAND...
# Runs a command like root_run, in a mount namespace of its own, so that
# what it mounts is seen by nobody else: host directories bound into the
# root (read-only unless --bind-rw), and with --no-compilers a throwaway
# copy of the root (an overlay) from which the C and C++ compilers have been
# removed, as on a user's machine without them. Needs the root's lock
# (root_ensure), since the root must not change below the overlay.
root_run_with() {
  local nocc=0 binds=() scratch status=0
  while [ $# -gt 0 ]; do
    case "$1" in
      --no-compilers) nocc=1 ;;
      --bind) binds+=("ro:$2"); shift ;;
      --bind-rw) binds+=("rw:$2"); shift ;;
      --) shift; break ;;
      *) echo "root_run_with: unknown option $1" >&2; return 2 ;;
    esac
    shift
  done
  scratch=$(mktemp -d /var/tmp/kestrava-root.XXXXXX)
  mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
  # shellcheck disable=SC2016 # the quoted part expands in the inner shell
  unshare --mount --propagation private bash -c "set -euo pipefail
    $(declare -f _root_chroot)"'
    scratch=$1 lower=$2 personality=$3 nocc=$4 nbinds=$5
    shift 5
    binds=("${@:1:$nbinds}")
    shift "$nbinds"
    dir=$lower
    if [ "$nocc" = 1 ]; then
      dir=$scratch/root
      mount -t overlay overlay -o "lowerdir=$lower,upperdir=$scratch/upper,workdir=$scratch/work" "$dir"
      mount -t proc proc "$dir/proc"
      mount --bind /dev "$dir/dev"
      mount --bind /dev/pts "$dir/dev/pts"
    fi
    for bind in "${binds[@]}"; do
      mode=${bind%%:*} bind=${bind#*:}
      mkdir -p "$dir/${bind#*:}"
      mount --bind "${bind%%:*}" "$dir/${bind#*:}"
      [ "$mode" = rw ] || mount -o remount,bind,ro "$dir/${bind#*:}"
    done
    if [ "$nocc" = 1 ]; then
      compilers=$(_root_chroot "$dir" "$personality" dpkg-query -W -f "\${Package} \${Status}\n" |
        awk "/ installed\$/ && \$1 ~ /^(gcc|g\\+\\+|cpp)(-[0-9]+)?(-[a-z0-9_]+-linux-gnu)?\$/ { print \$1 }" | tr "\n" " ")
      if [ -n "$compilers" ]; then
        echo "=== removing the compilers ($compilers) from a throwaway copy of the root ==="
        _root_chroot "$dir" "$personality" sh -c "DEBIAN_FRONTEND=noninteractive \
          apt-get purge -y -qq $compilers >/dev/null"
      fi
    fi
    _root_chroot "$dir" "$personality" "$@"' \
    bash "$scratch" "$ROOT_DIR" "$(_root_personality "$ROOT_ARCH")" "$nocc" "${#binds[@]}" "${binds[@]}" "$@" ||
    status=$?
  rm -rf --one-file-system "$scratch"
  return $status
}

_root_create() {
  local tmp="$ROOT_DIR.new" script=$ROOT_SUITE
  echo "=== creating the $ROOT_SUITE $ROOT_ARCH root in $ROOT_DIR (once per machine) ==="
  _root_umount_below "$tmp"
  rm -rf --one-file-system "$tmp"
  mkdir -p "$(dirname "$ROOT_DIR")"
  # A release newer than this debootstrap is made like unstable.
  [ -e "/usr/share/debootstrap/scripts/$script" ] || script=sid
  debootstrap --arch="$ROOT_ARCH" --variant=minbase "$ROOT_SUITE" "$tmp" "$ROOT_MIRROR" \
    "/usr/share/debootstrap/scripts/$script" >"$tmp.log" 2>&1 || {
    tail -n 30 "$tmp.log" >&2
    echo "debootstrap failed; full log: $tmp.log" >&2
    return 1
  }
  {
    echo "deb $ROOT_MIRROR $ROOT_SUITE main"
    case "$ROOT_SUITE" in
      bookworm | trixie)
        echo "deb $ROOT_MIRROR $ROOT_SUITE-updates main"
        echo "deb ${ROOT_MIRROR%/debian}/debian-security $ROOT_SUITE-security main"
        ;;
    esac
  } >"$tmp/etc/apt/sources.list"
  # Keep downloaded .debs out of the cached root. A testing release's
  # Release file is valid for a week only, less than a mirror may lag.
  {
    echo 'Dir::Cache::Archives "/var/cache/apt/archives"; APT::Keep-Downloaded-Packages "false";'
    case "$ROOT_SUITE" in
      bookworm | trixie) ;;
      *) echo 'Acquire::Check-Valid-Until "false";' ;;
    esac
  } >"$tmp/etc/apt/apt.conf.d/90kestrava"
  rm -f "$tmp.log"
  mv "$tmp" "$ROOT_DIR"
}

# Creates the current root when missing and installs its packages when their
# list changed (each list has its own stamp); takes the root's lock, held
# until the script ends, so concurrent runs wait for each other.
root_ensure() {
  local fd stamp
  command -v debootstrap >/dev/null || apt_install debootstrap
  mkdir -p "$(dirname "$ROOT_DIR")"
  if [ -z "${_root_locks[$ROOT_DIR]:-}" ]; then
    exec {fd}>"$ROOT_DIR.lock"
    flock "$fd"
    _root_locks[$ROOT_DIR]=$fd
  fi
  if [ ! -x "$ROOT_DIR/bin/sh" ]; then
    _root_create
  fi
  _root_mount
  stamp=".kestrava-root-pkgs-$(echo "$ROOT_PACKAGES" | tr -s ' \n' '\n\n' | sort | md5sum | cut -c1-12)"
  if [ ! -f "$ROOT_DIR/$stamp" ]; then
    echo "=== installing packages into the $ROOT_SUITE $ROOT_ARCH root ==="
    # shellcheck disable=SC2086
    root_run sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends $(echo $ROOT_PACKAGES) >/dev/null && apt-get clean" || {
      echo "installing packages into $ROOT_DIR failed" >&2
      return 1
    }
    rm -f "$ROOT_DIR"/.kestrava-root-pkgs-*
    touch "$ROOT_DIR/$stamp"
  fi
  _root_sync_certs
}

# root_copy_tree SRC: copies the working tree into the current root under
# /kestrava/src (without builds and virtual environments), so builds inside
# never write to the repository.
root_copy_tree() {
  local src="$1" dest="$ROOT_DIR/kestrava/src"
  rm -rf --one-file-system "$dest"
  mkdir -p "$dest"
  # -m: the copy's files are newer than any object in the root's build
  # directory, which trees of other branches share; restored times could
  # let an incremental build keep their objects.
  tar -C "$src" --exclude=./build --exclude=./dist --exclude=./.venv --exclude='./.venv-*' \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis -cf - . |
    tar -C "$dest" -mxf -
}
