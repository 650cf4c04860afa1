# The Debian bookworm i386 root (scripts/lib/debian_root.sh): the 32-bit x86
# userland (CPython, PyPy, g++) the module is made for, under the names
# scripts/test-i386 and the benchmarks use. Sourced after scripts/lib/deps.sh.
. "$(dirname "${BASH_SOURCE[0]}")/debian_root.sh"
root_select bookworm i386
I386_ROOT=$ROOT_DIR

i386_umount_all() { root_release_all; }
i386_ensure_root() { root_ensure; }
i386_run() { root_run "$@"; }
i386_run_without_compilers() { root_run_with --no-compilers -- "$@"; }
i386_copy_tree() { root_copy_tree "$@"; }
