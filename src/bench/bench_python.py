#!/usr/bin/env python3
"""Benchmark of the Python module (a program, not a test).

dumps (indefinite=False) against cbor2's compiled encoder on four
workloads, and diff / patch through the Python API against the same core
functions called directly through the module's exported C symbols (ctypes),
which shows the binding overhead; and patch on the workload shape of the
native program bench_apply, to set beside its figures.

usage: bench_python.py [--quick]
"""
import ctypes
import sys
import time

import cbor2
from bench_corpus import KIB, MIB, Rng, int_keys, mixed_floats, nested, noise, records, scattered_edits
from kestrava_core import cbor, delta


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def bench_dumps(quick):
    repeat = 3 if quick else 7
    workloads = [
        ("10,000 JSON-like records", records(Rng(1), 10000)),
        ("nested: 300 chains x 300 levels", nested(300, 300)),
        ("100,000 floats, mixed precision", mixed_floats(Rng(2), 100000)),
        ("dict with 100,000 int keys", int_keys(Rng(3), 100000)),
    ]
    print("dumps (indefinite=False) vs cbor2.dumps, best of %d runs" % repeat)
    print("%-34s %12s %12s %10s %12s %12s" % ("workload", "kestrava ms", "cbor2 ms", "ratio", "kestrava B", "cbor2 B"))
    for name, value in workloads:
        ours = cbor.dumps(value, indefinite=False)
        theirs = cbor2.dumps(value)
        assert cbor2.loads(ours) == cbor2.loads(theirs), name
        t_ours = best_time(lambda: cbor.dumps(value, indefinite=False), repeat)
        t_theirs = best_time(lambda: cbor2.dumps(value), repeat)
        print("%-34s %12.2f %12.2f %9.2fx %12d %12d" % (name, t_ours * 1e3, t_theirs * 1e3, t_ours / t_theirs,
                                                         len(ours), len(theirs)))
    print("(ratio: kestrava time / cbor2 time; below 1 is faster)")


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("len", ctypes.c_uint32), ("capacity", ctypes.c_uint32)]


def core_functions():
    import kestrava_core
    lib = ctypes.CDLL(kestrava_core.__file__)
    for name in ("diff_generate_binary", "diff_apply_binary"):
        fn = getattr(lib, name)
        fn.restype = ctypes.POINTER(Buf)
        fn.argtypes = [ctypes.POINTER(Buf), ctypes.POINTER(Buf)]
    lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
    lib.buf_free.restype = None
    return lib


def view(data):
    # A borrowed view of a bytes object's storage, as the binding makes.
    address = ctypes.cast(ctypes.c_char_p(data), ctypes.POINTER(ctypes.c_uint8))
    return Buf(address, len(data), len(data))


def bench_delta(quick):
    rng = Rng(4)
    lib = core_functions()
    repeat = 3 if quick else 5
    cases = []
    for size in (64 * KIB, MIB, 4 * MIB):
        old = noise("python-%d" % size, size)
        cases.append(("%d KB, an edit per ~1000 bytes" % (size >> 10), old, scattered_edits(rng, old, 1000)))
    old = noise("python-unrelated", MIB)
    cases.append(("1 MB, unrelated", old, noise("python-unrelated-new", MIB)))

    print()
    print("diff / patch through Python vs the core called directly (ctypes), best of %d runs" % repeat)
    print("%-32s %6s %11s %11s %9s %11s %11s %9s" % ("input", "delta", "diff py ms", "diff C ms", "overhead",
                                                   "patch py ms", "patch C ms", "overhead"))
    for name, old, new in cases:
        d = bytes(delta.diff(old, new))
        assert bytes(delta.patch(old, d)) == new
        old_v, new_v, d_v = view(old), view(new), view(d)

        def native(fn, a, b):
            lib.buf_free(fn(ctypes.byref(a), ctypes.byref(b)))

        t_diff_py = best_time(lambda: delta.diff(old, new), repeat)
        t_diff_c = best_time(lambda: native(lib.diff_generate_binary, old_v, new_v), repeat)
        t_patch_py = best_time(lambda: delta.patch(old, d), repeat)
        t_patch_c = best_time(lambda: native(lib.diff_apply_binary, old_v, d_v), repeat)
        print("%-32s %5.1f%% %11.3f %11.3f %8.1f%% %11.3f %11.3f %8.1f%%" % (
            name, 100.0 * len(d) / len(new), t_diff_py * 1e3, t_diff_c * 1e3,
            100.0 * (t_diff_py - t_diff_c) / t_diff_c, t_patch_py * 1e3, t_patch_c * 1e3,
            100.0 * (t_patch_py - t_patch_c) / t_patch_c))


def apply_workload(rng):
    """The shape bench_apply.cc measures natively: a 16 MB old value and a
    delta of 1,000 copies of about 16 KB and 1,000 inserts of up to 64
    bytes."""
    old_size = 16 << 20
    old = noise("python-apply", old_size)
    items = bytearray()
    out_size = 0

    def head(major, value):
        if value < 24:
            return bytes([major << 5 | value])
        if value < 256:
            return bytes([major << 5 | 24, value])
        if value < 65536:
            return bytes([major << 5 | 25]) + value.to_bytes(2, "big")
        return bytes([major << 5 | 26]) + value.to_bytes(4, "big")

    for _ in range(1000):
        length = 16000 + rng.below(1000)
        offset = rng.below(old_size - length)
        insert = rng.bytes(1 + rng.below(64))
        items += head(0, offset) + head(0, length) + head(2, len(insert)) + insert
        out_size += length + len(insert)
    return old, bytes(items), out_size


def bench_apply_shape(quick):
    rng = Rng(5)
    old, d, out_size = apply_workload(rng)
    repeat = 5 if quick else 20
    lib = core_functions()
    old_v, d_v = view(old), view(d)
    assert len(memoryview(delta.patch(old, d))) == out_size
    t_py = best_time(lambda: delta.patch(old, d), repeat)
    t_c = best_time(lambda: lib.buf_free(lib.diff_apply_binary(ctypes.byref(old_v), ctypes.byref(d_v))), repeat)
    print()
    print("patch of bench_apply's workload (delta %d bytes, output %.1f MB), best of %d runs"
          % (len(d), out_size / 1e6, repeat))
    print("  through Python  %8.2f ms  %6.2f GB/s" % (t_py * 1e3, out_size / t_py / 1e9))
    print("  core (ctypes)   %8.2f ms  %6.2f GB/s" % (t_c * 1e3, out_size / t_c / 1e9))


def main():
    quick = "--quick" in sys.argv[1:]
    bench_dumps(quick)
    bench_delta(quick)
    bench_apply_shape(quick)


if __name__ == "__main__":
    main()
