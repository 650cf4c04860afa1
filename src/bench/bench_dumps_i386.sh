#!/usr/bin/env bash
# bench_dumps.py inside the i386 root of scripts/test-i386 (run as root): the
# reference platform's PyPy (or its CPython) on 32-bit x86. The root holds
# no git, so the baseline goes in as a plain tree.
# usage: src/bench/bench_dumps_i386.sh [--baseline REF] [--python pypy3|python3] [bench_dumps.py options]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/lib/deps.sh
. scripts/lib/i386_root.sh

baseline=main
python=pypy3
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --baseline) baseline=$2; shift 2 ;;
    --python) python=$2; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
commit=$(git rev-parse --verify "$baseline^{commit}")

trap i386_umount_all EXIT
trap "exit 130" INT TERM
i386_ensure_root
i386_copy_tree "$root"
tree="$I386_ROOT/kestrava/bench-baseline-${commit:0:12}"
if [ ! -f "$tree/pyproject.toml" ]; then
  rm -rf --one-file-system "$I386_ROOT"/kestrava/bench-baseline-*
  mkdir -p "$tree"
  git archive "$commit" | tar -x -C "$tree"
fi
i386_run python3 /kestrava/src/src/bench/bench_dumps.py --python "$python" \
  --baseline-tree "/kestrava/bench-baseline-${commit:0:12}" --work "/kestrava/state/bench-dumps-$python" "${args[@]}"
