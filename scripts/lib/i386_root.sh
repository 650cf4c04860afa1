# A Debian bookworm i386 root, made once per machine with debootstrap and
# reused: the 32-bit x86 userland (CPython, PyPy, g++) the module is made for.
# Sourced by scripts/test-i386 after scripts/lib/deps.sh.

I386_ROOT=${KESTRAVA_I386_ROOT:-/var/cache/kestrava/bookworm-i386}
I386_MIRROR=${KESTRAVA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# Bump the stamp when the package list changes, so cached roots catch up.
I386_PACKAGES="ca-certificates python3 python3-dev python3-venv pypy3 pypy3-dev
  pypy3-venv g++ cmake ninja-build googletest python3-numpy"
I386_STAMP=".kestrava-root-v2"

_i386_mounts=()

i386_umount_all() {
  local i
  for ((i = ${#_i386_mounts[@]} - 1; i >= 0; i--)); do
    umount "${_i386_mounts[$i]}" 2>/dev/null || umount -l "${_i386_mounts[$i]}" 2>/dev/null || true
  done
  _i386_mounts=()
}

# Mounts what programs in the root expect: /proc, /dev and name resolution.
# Called under the root's lock, so a mount already there was left by a run
# that was killed: it is taken over and unmounted at the end as well.
i386_mount() {
  local target
  for target in "$I386_ROOT/proc" "$I386_ROOT/dev" "$I386_ROOT/dev/pts"; do
    if ! mountpoint -q "$target"; then
      case "$target" in
        */proc) mount -t proc proc "$target" ;;
        *) mount --bind "${target#"$I386_ROOT"}" "$target" ;;
      esac
    fi
    _i386_mounts+=("$target")
  done
  cp -L /etc/resolv.conf "$I386_ROOT/etc/resolv.conf" 2>/dev/null || true
}

# Unmounts whatever is mounted below a directory (a debootstrap that was
# interrupted leaves its /proc and /sys mounted), deepest first.
_i386_umount_below() {
  local dir=$1 target
  awk -v d="$dir/" 'index($2, d) == 1 { print $2 }' /proc/self/mounts | sort -r |
    while read -r target; do
      umount "$target" 2>/dev/null || umount -l "$target" 2>/dev/null || true
    done
}

# Trusts the host's locally added CA certificates inside the root too, so
# pip reaches PyPI the same way from both sides of a TLS-inspecting proxy.
i386_sync_certs() {
  local dir=/usr/local/share/ca-certificates dest="$I386_ROOT/usr/local/share/ca-certificates"
  [ -d "$dir" ] || return 0
  if ! diff -rq "$dir" "$dest" >/dev/null 2>&1; then
    rm -rf "$dest"
    cp -r "$dir" "$dest"
    i386_run update-ca-certificates >/dev/null 2>&1
  fi
}

# Runs a command inside the root as root, with a plain environment and the
# personality of a 32-bit machine (uname -m says i686, as on the target).
i386_run() {
  _i386_chroot "$I386_ROOT" "$@"
}

_i386_chroot() {
  local dir=$1
  shift
  setarch i686 chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt "$@"
}

# Runs a command like i386_run, but in a throwaway copy of the root from
# which the C and C++ compilers have been removed, as on a user's machine
# without them: an overlay on the root, mounted in a mount namespace of its
# own, so the root itself and everyone else's view of it stay as they are.
# Needs the root's lock (i386_ensure_root), since the root must not change
# below the overlay.
i386_run_without_compilers() {
  local scratch status=0
  scratch=$(mktemp -d /var/tmp/kestrava-i386-nocc.XXXXXX)
  mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
  # shellcheck disable=SC2016 # the quoted part expands in the inner shell
  unshare --mount --propagation private bash -c "set -euo pipefail
    $(declare -f _i386_chroot)"'
    scratch=$1 lower=$2
    shift 2
    mount -t overlay overlay -o "lowerdir=$lower,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
    mount -t proc proc "$scratch/root/proc"
    mount --bind /dev "$scratch/root/dev"
    mount --bind /dev/pts "$scratch/root/dev/pts"
    echo "=== removing the compilers from a throwaway copy of the i386 root ==="
    _i386_chroot "$scratch/root" sh -c "DEBIAN_FRONTEND=noninteractive \
      apt-get purge -y -qq gcc-12 g++-12 cpp-12 >/dev/null"
    _i386_chroot "$scratch/root" "$@"' bash "$scratch" "$I386_ROOT" "$@" || status=$?
  rm -rf --one-file-system "$scratch"
  return $status
}

_i386_create() {
  local tmp="$I386_ROOT.new"
  echo "=== creating the i386 root in $I386_ROOT (once per machine) ==="
  _i386_umount_below "$tmp"
  rm -rf --one-file-system "$tmp"
  mkdir -p "$(dirname "$I386_ROOT")"
  debootstrap --arch=i386 --variant=minbase bookworm "$tmp" "$I386_MIRROR" >"$tmp.log" 2>&1 || {
    tail -n 30 "$tmp.log" >&2
    echo "debootstrap failed; full log: $tmp.log" >&2
    return 1
  }
  cat >"$tmp/etc/apt/sources.list" <<EOF
deb $I386_MIRROR bookworm main
deb $I386_MIRROR bookworm-updates main
deb ${I386_MIRROR%/debian}/debian-security bookworm-security main
EOF
  # Keep downloaded .debs out of the cached root.
  echo 'Dir::Cache::Archives "/var/cache/apt/archives"; APT::Keep-Downloaded-Packages "false";' \
    >"$tmp/etc/apt/apt.conf.d/90kestrava"
  rm -f "$tmp.log"
  mv "$tmp" "$I386_ROOT"
}

# Creates the root when missing, installs its packages when the list changed.
i386_ensure_root() {
  local need=()
  command -v debootstrap >/dev/null || need+=(debootstrap)
  if [ ${#need[@]} -gt 0 ]; then
    apt_install "${need[@]}"
  fi
  mkdir -p "$(dirname "$I386_ROOT")"
  exec 9>"$I386_ROOT.lock"
  flock 9
  if [ ! -x "$I386_ROOT/bin/sh" ]; then
    _i386_create
  fi
  i386_mount
  if [ ! -f "$I386_ROOT/$I386_STAMP" ]; then
    echo "=== installing packages into the i386 root ==="
    # shellcheck disable=SC2086
    i386_run sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends $(echo $I386_PACKAGES) >/dev/null && apt-get clean"
    touch "$I386_ROOT/$I386_STAMP"
  fi
  i386_sync_certs
}

# Copies the working tree into the root (without builds and virtual
# environments), so builds inside never write to the repository.
i386_copy_tree() {
  local src="$1" dest="$I386_ROOT/kestrava/src"
  rm -rf --one-file-system "$dest"
  mkdir -p "$dest"
  # -m: the copy's files are newer than any object in the root's build
  # directory, which trees of other branches share; restored times could
  # let an incremental build keep their objects.
  tar -C "$src" --exclude=./build --exclude=./.venv --exclude='./.venv-*' \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis -cf - . |
    tar -C "$dest" -mxf -
}
