#!/usr/bin/env python3
"""Example: ship a file update as a delta, and a document as CBOR.

Diffs two versions of a real file, patches the old version with the delta
and checks that the result is the new version; then serialises a sample
JSON document with dumps. Prints sizes, the delta ratio and timings.

usage: delta_and_cbor.py [OLD NEW [DOCUMENT.json]]
"""
import json
import pathlib
import sys
import time

from kestrava_core import cbor, delta

DATA = pathlib.Path(__file__).resolve().parent / "data"


def timed(fn, repeat=5):
    """The result of fn() and the best time of `repeat` runs, in seconds."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return result, best


def ms(seconds):
    return "%.3f ms" % (seconds * 1e3)


def show_delta(old_path, new_path):
    old = old_path.read_bytes()
    new = new_path.read_bytes()
    # diff and patch return a PythonOutBuf; bytes() copies its contents out.
    d, t_diff = timed(lambda: bytes(delta.diff(old, new)))
    restored, t_patch = timed(lambda: bytes(delta.patch(old, d)))
    if restored != new:
        print("error: patching the old value did not give the new value", file=sys.stderr)
        return False
    print("delta: %s -> %s" % (old_path.name, new_path.name))
    print("  old value      %9d bytes" % len(old))
    print("  new value      %9d bytes" % len(new))
    print("  delta          %9d bytes  (%.1f%% of the new value)" % (len(d), 100.0 * len(d) / max(len(new), 1)))
    print("  diff           %12s  (%.1f MB/s of new value)" % (ms(t_diff), len(new) / t_diff / 1e6))
    print("  patch          %12s  (%.1f MB/s)" % (ms(t_patch), len(new) / t_patch / 1e6))
    print("  patched value equals the new value: yes")
    return True


def show_cbor(document_path):
    text = document_path.read_bytes()
    document = json.loads(text)
    indefinite, t_indefinite = timed(lambda: cbor.dumps(document), repeat=20)
    definite, t_definite = timed(lambda: cbor.dumps(document, indefinite=False), repeat=20)
    compact_json = json.dumps(document, separators=(",", ":")).encode()
    print("cbor: %s" % document_path.name)
    print("  JSON file      %9d bytes  (compact JSON: %d bytes)" % (len(text), len(compact_json)))
    print("  CBOR definite  %9d bytes  in %s" % (len(definite), ms(t_definite)))
    print("  CBOR indef.    %9d bytes  in %s" % (len(indefinite), ms(t_indefinite)))
    print("  first bytes    %s" % definite[:16].hex(" "))
    return True


def main(argv):
    if len(argv) not in (0, 2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    old_path = pathlib.Path(argv[0]) if argv else DATA / "tarfile-3.11.2.py.txt"
    new_path = pathlib.Path(argv[1]) if argv else DATA / "tarfile-3.11.7.py.txt"
    document_path = pathlib.Path(argv[2]) if len(argv) == 3 else DATA / "station_report.json"
    ok = show_delta(old_path, new_path)
    print()
    ok = show_cbor(document_path) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
