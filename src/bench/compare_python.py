#!/usr/bin/env python3
"""Benchmark (not a test): delta.diff through Python in two interpreters,
each with its own build of kestrava_core installed (say, another commit's
module from build_baseline.sh --python against this tree's), on the
examples/ text pair and tiny values. The two run in turn, round after
round; each round times the best of several calls in-process. Prints the
best times, their ratio and whether the two deltas are the same bytes.

usage: compare_python.py BASELINE_PYTHON PYTHON [ROUNDS]
"""
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "examples", "data")


def cases(directory):
    """(name, old path, new path) for each case, the files made once."""
    rng = random.Random(7)
    tiny = bytes(rng.getrandbits(8) for _ in range(10))
    kilo = bytearray(rng.getrandbits(8) for _ in range(1024))
    edited = bytearray()
    for i in range(0, len(kilo), 256):
        edited += kilo[i:i + 250] + bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 8)))
    made = [("10-byte values, one byte changed", tiny, tiny[:4] + bytes([tiny[4] ^ 0x5A]) + tiny[5:]),
            ("1 KB, small edits every 256 bytes", bytes(kilo), bytes(edited))]
    out = []
    for i, (name, old, new) in enumerate(made):
        paths = (os.path.join(directory, "%d.old" % i), os.path.join(directory, "%d.new" % i))
        for path, data in zip(paths, (old, new)):
            with open(path, "wb") as f:
                f.write(data)
        out.append((name,) + paths)
    out.append(("examples/ tarfile.py 3.11.2 -> 3.11.7", os.path.join(DATA, "tarfile-3.11.2.py.txt"),
                os.path.join(DATA, "tarfile-3.11.7.py.txt")))
    return out


def worker(old_path, new_path):
    """Best time of a few seconds' worth of calls, and the delta's digest."""
    from kestrava_core import delta
    with open(old_path, "rb") as f:
        old = f.read()
    with open(new_path, "rb") as f:
        new = f.read()
    d = bytes(delta.diff(old, new))
    start = time.perf_counter()
    delta.diff(old, new)
    once = time.perf_counter() - start
    batch = max(1, int(0.02 / max(once, 1e-7)))
    best = float("inf")
    for _ in range(7):
        start = time.perf_counter()
        for _ in range(batch):
            delta.diff(old, new)
        best = min(best, (time.perf_counter() - start) / batch)
    print(json.dumps({"seconds": best, "sha256": hashlib.sha256(d).hexdigest(), "size": len(d)}))


def measure(python, old_path, new_path):
    out = subprocess.run([python, __file__, "--worker", old_path, new_path], check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def show(seconds):
    return "%.2f us" % (seconds * 1e6) if seconds < 1e-3 else "%.2f ms" % (seconds * 1e3)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3])
        return 0
    if len(sys.argv) not in (3, 4):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    baseline, current = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) == 4 else 5
    same_everywhere = True
    print("| case | baseline | this build | new/old | delta bytes | identical |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as directory:
        for name, old_path, new_path in cases(directory):
            best = {baseline: None, current: None}
            for _ in range(rounds):
                for python in (baseline, current):
                    r = measure(python, old_path, new_path)
                    if best[python] is None or r["seconds"] < best[python]["seconds"]:
                        best[python] = r
            old, new = best[baseline], best[current]
            same = old["sha256"] == new["sha256"]
            same_everywhere = same_everywhere and same
            print("| %s | %s | %s | %.3f | %d | %s |" % (name, show(old["seconds"]), show(new["seconds"]),
                                                       new["seconds"] / old["seconds"], new["size"],
                                                       "yes" if same else "NO"))
    return 0 if same_everywhere else 1


if __name__ == "__main__":
    sys.exit(main())
