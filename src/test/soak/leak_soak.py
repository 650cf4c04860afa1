"""Loops diff, patch and dumps through their error paths, for leak checks
(under valgrind memcheck) and resident-memory soaks.

    python leak_soak.py ROUNDS         one round runs every case once
    python leak_soak.py --calls N      N mixed calls; prints resident memory
    ... --no-deep                      leaves out the values nested 3,000 deep

On PyPy the C-level stand-ins of nested containers that native code has
walked are released one nesting level per collection, so a loop over very
deep values grows for a long time before its memory comes back; --no-deep
shows what the other paths do there.

Each round: diffs of edited, equal and unrelated values; patches with good,
malformed and over-bound deltas; failed results exported; results dropped
while memoryviews of them are alive; dumps of good values and of values that
fail conversion, overflow, recurse without end, change while written or
shrink while written.
"""
import gc
import random
import sys

from kestrava_core import cbor, delta


class Hostile(Exception):
    pass


class RaisingBool:
    def __bool__(self):
        raise Hostile()


class ShrinkingList(list):
    def __getitem__(self, i):
        self.pop()
        return list.__getitem__(self, i)


class GrowingIndex:
    def __init__(self, d):
        self.d = d

    def __index__(self):
        self.d[len(self.d) + 1000] = 0
        return 1


def self_list():
    x = [1, 2]
    x.append(x)
    return x


def self_dict():
    d = {"a": 1}
    d["self"] = d
    return d


def deep(n):
    v = []
    for _ in range(n):
        v = [v]
    return v


def changing_dict():
    d = {i: i for i in range(4)}
    d[99] = GrowingIndex(d)
    return d


def DEEP():
    return deep(3000)


GOOD_VALUES = [{"k": [1, -2, 2.5, None, True, b"\x00", "\u00e9"]}, list(range(300)), 2**64 - 1, -2**63,
               bytearray(b"ab"), (1, (2, (3,))), {(1, 2): {"x": 1.1}}]
BAD_VALUES = [({1, 2}, TypeError), ([{1, 2}], RuntimeError), (2**64, RuntimeError), (-2**63 - 1, RuntimeError),
              ("\ud800", RuntimeError), ([RaisingBool()], RuntimeError), (self_list, RecursionError),
              (self_dict, RecursionError), (DEEP, RecursionError),
              (lambda: ShrinkingList([1, 2, 3]), IndexError), (changing_dict, RuntimeError)]
BAD_DELTAS = [b"\x18", b"\x00", b"\x00\x41a", b"\x43ab", b"\x05\x05", b"\x1a\xff\xff\xff\xff\x02",
              b"\xe0\xf8\xf3\x00"]


def one_round(rng, deep_values=True):
    old = rng.randbytes(rng.randrange(0, 600))
    new = bytearray(old)
    for _ in range(rng.randrange(0, 5)):
        at = rng.randrange(0, len(new) + 1)
        new[at:at + rng.randrange(0, 30)] = rng.randbytes(rng.randrange(0, 30))
    new = bytes(new)
    for a, b in ((old, new), (old, old), (old, b"unrelated" * 10), (b"", new)):
        d = bytes(delta.diff(a, b))
        assert bytes(delta.patch(a, d)) == b
        assert bytes(delta.patch(delta.PythonInBuf(a), delta.PythonInBuf(d), max_size=len(b))) == b
        if b:
            failed = delta.patch(a, d, max_size=len(b) - 1)
            try:
                bytes(failed)
            except BufferError:
                pass
    for bad in BAD_DELTAS:
        out = delta.patch(old, bad)
        for reader in (bytes, memoryview):
            try:
                reader(out)
            except BufferError:
                pass
    for bad in (None, 1.5, -1, "x"):
        try:
            delta.patch(old, new, max_size=bad)
        except TypeError:
            pass
        try:
            delta.diff(old, bad)
        except TypeError:
            pass
    # A result dropped while a view of it is alive, then the view released.
    view = memoryview(delta.diff(old, new))
    assert len(bytes(view)) <= len(new) + 5
    view.release()
    view = memoryview(delta.patch(old, bytes(delta.diff(old, new))))
    del view
    for value in GOOD_VALUES:
        cbor.dumps(value)
        cbor.dumps(value, indefinite=False, max_depth=10)
    for make, error in BAD_VALUES:
        if not deep_values and make is DEEP:
            continue
        value = make() if callable(make) else make
        try:
            cbor.dumps(value)
            assert error is RuntimeError and changing_dict is make  # PyPy's snapshot iteration
        except error:
            pass
    try:
        cbor.dumps(deep(5), max_depth=3)
    except RuntimeError:
        pass


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


# Calls made by one round (diff, patch, dumps and failed conversions).
def count_calls(rng, deep_values):
    calls = [0]
    real = (delta.diff, delta.patch, cbor.dumps)

    def counted(f):
        def g(*a, **k):
            calls[0] += 1
            return f(*a, **k)
        return g
    delta.diff, delta.patch, cbor.dumps = (counted(f) for f in real)
    try:
        one_round(rng, deep_values)
    finally:
        delta.diff, delta.patch, cbor.dumps = real
    return calls[0]


def main():
    rng = random.Random(2026)
    sys.setrecursionlimit(2000)
    deep_values = "--no-deep" not in sys.argv
    if sys.argv[1] == "--calls":
        total = int(sys.argv[2])
        per_round = count_calls(rng, deep_values)
        rounds = max(1, total // per_round)
        warm = max(1, rounds // 100)
        for _ in range(warm):
            one_round(rng, deep_values)
        gc.collect()
        start = rss_kib()
        print(f"{per_round} calls per round, {rounds} rounds; resident after warm-up: {start} KiB", flush=True)
        for i in range(1, rounds + 1):
            one_round(rng, deep_values)
            if i % max(1, rounds // 10) == 0:
                print(f"  after {i * per_round} calls: {rss_kib()} KiB", flush=True)
        gc.collect()
        print(f"resident: start {start} KiB, end {rss_kib()} KiB after {rounds * per_round} calls")
    else:
        for _ in range(int(sys.argv[1])):
            one_round(rng)
        gc.collect()
        print("rounds done")


if __name__ == "__main__":
    main()
