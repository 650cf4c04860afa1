#!/usr/bin/env python3
"""Differential check: the native delta generator (through the shared core
library) against the plain model in delta_model.py, on fixed examples and
random pairs, at every quality level and with tight limits. With the test
copy of the library (kestrava_core_testing), every form of the search's
passes this processor runs is compared too, each forced in turn.

usage: check_delta_engine.py LIBRARY [ROUNDS]
"""
import ctypes
import random
import sys
import threading

import delta_model as model


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("len", ctypes.c_uint32), ("capacity", ctypes.c_uint32)]


class EditScript(ctypes.Structure):
    _fields_ = [("insert_start", ctypes.c_int32), ("insert_length", ctypes.c_int32),
                ("match_start", ctypes.c_int32), ("match_length", ctypes.c_int32),
                ("old_buf", ctypes.POINTER(Buf)), ("new_buf", ctypes.POINTER(Buf)),
                ("budget", ctypes.c_int32), ("out", ctypes.POINTER(Buf))]


class Native:
    def __init__(self, path):
        lib = ctypes.CDLL(path)
        P = ctypes.POINTER
        lib.diff_generate_binary_ex.restype = P(Buf)
        lib.diff_generate_binary_ex.argtypes = [P(Buf), P(Buf), ctypes.c_int32, ctypes.c_int32]
        lib.diff_apply_binary.restype = P(Buf)
        lib.diff_apply_binary.argtypes = [P(Buf), P(Buf)]
        lib.buf_free.argtypes = [P(Buf)]
        lib.edit_script_create.restype = P(EditScript)
        lib.edit_script_create.argtypes = [P(Buf), P(Buf)]
        lib.edit_script_free.argtypes = [P(EditScript)]
        lib.myers_binary_diff.restype = ctypes.c_int32
        lib.myers_binary_diff.argtypes = [P(Buf), ctypes.c_int32, ctypes.c_int32, P(Buf), ctypes.c_int32,
                                          ctypes.c_int32, P(EditScript), ctypes.c_int32, ctypes.c_int32,
                                          ctypes.c_uint32]
        self.lib = lib
        # Forms of the search's passes, by index, where the test hook exists.
        self.paths = {}
        if hasattr(lib, "kestrava_test_search_paths"):
            lib.kestrava_test_search_path_name.restype = ctypes.c_char_p
            lib.kestrava_test_myers_binary_diff.restype = ctypes.c_int32
            lib.kestrava_test_myers_binary_diff.argtypes = lib.myers_binary_diff.argtypes + [ctypes.c_int32]
            for i in range(lib.kestrava_test_search_paths()):
                name = lib.kestrava_test_search_path_name(i)
                if name:
                    self.paths[i] = name.decode()

    @staticmethod
    def view(data):
        storage = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(bytes(data) or b"\0")
        b = Buf(ctypes.cast(storage, ctypes.POINTER(ctypes.c_uint8)), len(data), len(data))
        b._keep = storage
        return b

    @staticmethod
    def take(ptr):
        return None if not ptr else ctypes.string_at(ptr.contents.data, ptr.contents.len)

    def generate(self, old, new, storage_limit, cost_limit):
        o, n = self.view(old), self.view(new)
        out = self.lib.diff_generate_binary_ex(ctypes.byref(o), ctypes.byref(n), storage_limit, cost_limit)
        result = self.take(out)
        self.lib.buf_free(out)
        return result

    def apply(self, old, delta):
        o, d = self.view(old), self.view(delta)
        out = self.lib.diff_apply_binary(ctypes.byref(o), ctypes.byref(d))
        result = self.take(out)
        self.lib.buf_free(out)
        return result

    def myers(self, old, new, storage_limit, cost_limit, quality, path=None):
        o, n = self.view(old), self.view(new)
        script = self.lib.edit_script_create(ctypes.byref(o), ctypes.byref(n))
        args = (ctypes.byref(o), 0, len(old), ctypes.byref(n), 0, len(new), script, storage_limit, cost_limit,
                quality)
        if path is None:
            r = self.lib.myers_binary_diff(*args)
        else:
            r = self.lib.kestrava_test_myers_binary_diff(*args, path)
        out = self.take(script.contents.out)
        self.lib.edit_script_free(script)
        return r, out


def mutate(rng, data, alphabet):
    data = bytearray(data)
    for _ in range(rng.randint(0, 6)):
        kind = rng.randrange(5)
        pos = rng.randint(0, len(data))
        if kind == 0:
            data[pos:pos] = bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 20)))
        elif kind == 1:
            del data[pos:pos + rng.randint(1, 30)]
        elif kind == 2 and data:
            for i in range(pos, min(len(data), pos + rng.randint(1, 10))):
                data[i] = rng.choice(alphabet)
        elif kind == 3 and len(data) > 10:
            start = rng.randrange(len(data) - 5)
            block = data[start:start + rng.randint(5, 60)]
            del data[start:start + len(block)]
            at = rng.randint(0, len(data))
            data[at:at] = block
        else:
            data[pos:pos] = data[:rng.randint(0, 40)]
    return bytes(data)


def random_pair(rng, max_len):
    alphabet = rng.choice([b"ab", b"acgt", b"abcdefghijklmnopqrstuvwxyz ", bytes(range(256))])
    old = bytes(rng.choice(alphabet) for _ in range(rng.randint(0, max_len)))
    if rng.random() < 0.2:
        new = bytes(rng.choice(alphabet) for _ in range(rng.randint(0, max_len)))
    else:
        new = mutate(rng, old, alphabet)
    return old, new


class Checker:
    def __init__(self, native):
        self.native = native
        self.failures = 0
        self.cases = 0
        self.seen = {}
        self.compared = {name: 0 for name in native.paths.values()}

    def fail(self, what, old, new, *details):
        self.failures += 1
        if self.failures <= 5:
            print(f"MISMATCH {what}: old={old[:80]!r} ({len(old)}) new={new[:80]!r} ({len(new)})", *details)

    def generate(self, old, new, storage_limit=model.INT32_MAX, cost_limit=10000):
        self.cases += 1
        want = model.generate(old, new, storage_limit, cost_limit, 0, self.seen)
        got = self.native.generate(old, new, storage_limit, cost_limit)
        if got != want:
            self.fail("generate", old, new, f"limits {storage_limit}/{cost_limit}", got and got.hex(), want.hex())
        elif self.native.apply(old, got) != new:
            self.fail("round trip", old, new)

    def quality(self, old, new, quality, storage_limit=model.INT32_MAX, cost_limit=10000):
        self.cases += 1
        r_want, script = model.myers(old, new, model.EditScript(new), storage_limit, cost_limit, quality, self.seen)
        for path, name in [(None, "myers_binary_diff")] + sorted(self.native.paths.items()):
            r_got, out = self.native.myers(old, new, storage_limit, cost_limit, quality, path)
            if r_got != r_want or (r_want == 0 and out != bytes(script.out)):
                self.fail(f"quality {quality} ({name})", old, new, r_got, r_want, out and out.hex(),
                          bytes(script.out).hex())
            elif path is not None:
                self.compared[name] += 1


def run(checker, rounds):
    fox = b"the quick brown fox jumps over the lazy dog"
    examples = [(fox, fox.replace(b"fox", b"cat")), (b"abc", b"abc"), (b"a", b"a"), (b"", b""),
                (b"abc", b"xyz"), (b"abc", b""), (b"abc", b"abcd"), (b"abcXdef", b"abcYYdef")]
    for old, new in examples:
        checker.generate(old, new)
        for q in range(6):
            checker.quality(old, new, q)

    rng = random.Random(20261208)
    for _ in range(rounds):
        old, new = random_pair(rng, 300)
        cost = rng.choice([10000, 10000, 200, 64, 9, 1, 0, -1])
        storage = rng.choice([model.INT32_MAX, model.INT32_MAX, 1000, 60, 7, 3])
        checker.generate(old, new, storage, cost)
        checker.quality(old, new, rng.randrange(6), storage, cost)

    # Long searches: progress checks every 64 iterations (dissimilar texts
    # over a small alphabet) and cuts whose middles are large enough to be
    # halved or partly replaced (unrelated kilobytes with small limits).
    for _ in range(max(1, rounds // 100)):
        alphabet = b"acgt"
        old = bytes(rng.choice(alphabet) for _ in range(rng.randint(1500, 2500)))
        new = mutate(rng, bytes(rng.choice(alphabet) for _ in range(len(old))), alphabet)
        checker.generate(old, new, cost_limit=rng.choice([10000, 300, 150]))
        checker.quality(old, new, rng.randrange(4), cost_limit=rng.choice([10000, 300, 150]))
        for cost in (-1, 0, 1, 8, 16, 100):
            size = rng.randint(6000, 8000)
            old = bytes(rng.getrandbits(8) for _ in range(size))
            new = bytes(rng.getrandbits(8) for _ in range(size + rng.randint(-200, 200)))
            if rng.random() < 0.5:
                new = old[:1000] + new + mutate(rng, old[-3000:], bytes(range(256)))
            checker.generate(old, new, cost_limit=cost)
            checker.quality(old, new, 0, cost_limit=cost)


def main():
    native = Native(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 600
    checker = Checker(native)
    # The model recurses as deeply as the search nests.
    sys.setrecursionlimit(200000)
    threading.stack_size(512 * 1024 * 1024)
    worker = threading.Thread(target=run, args=(checker, rounds))
    worker.start()
    worker.join()
    print(f"{checker.cases} cases, {checker.failures} mismatches; paths taken: "
          + ", ".join(f"{k} {v}" for k, v in sorted(checker.seen.items())))
    if checker.compared:
        print("forced forms of the passes, cases matching the model: "
              + ", ".join(f"{k} {v}" for k, v in sorted(checker.compared.items())))
    required = {"bail", "bounded: search", "bounded: halves", "bounded: middle only", "slow progress",
                "storage exhausted"}
    missing = required - set(checker.seen)
    if missing:
        print("paths never taken:", ", ".join(sorted(missing)))
    return 1 if checker.failures or missing or checker.cases == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
