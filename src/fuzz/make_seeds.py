#!/usr/bin/env python3
"""Writes the seed corpora beside the fuzz targets (corpus/TARGET/*).

Seeds are the worked examples of the formats and real deltas made by the
built core (pass the path of libkestrava_core.so; without it the real
deltas are left out). Run it again after changing a target's input layout.
"""
import ctypes
import json
import pathlib
import shutil
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]


def h(text):
    return bytes.fromhex(text)


def head(major, n):
    if n < 24:
        return bytes([major << 5 | n])
    for info, fmt in ((24, ">B"), (25, ">H"), (26, ">I"), (27, ">Q")):
        if n < 1 << (8 * struct.calcsize(fmt)):
            return bytes([major << 5 | info]) + struct.pack(fmt, n)
    raise ValueError(n)


def copy(offset, length):
    return head(0, offset) + head(0, length)


def insert(data):
    return head(2, len(data)) + data


FOX = b"the quick brown fox jumps over the lazy dog"
CAT = b"the quick brown cat jumps over the lazy dog"
TAR_OLD = (ROOT / "examples/data/tarfile-3.11.2.py.txt").read_bytes()
TAR_NEW = (ROOT / "examples/data/tarfile-3.11.7.py.txt").read_bytes()


class Core:
    """diff_generate_binary through ctypes, for real deltas."""

    class Buf(ctypes.Structure):
        _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("len", ctypes.c_uint32),
                    ("capacity", ctypes.c_uint32)]

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.diff_generate_binary.restype = ctypes.POINTER(Core.Buf)
        self.lib.buf_free.argtypes = [ctypes.POINTER(Core.Buf)]

    def diff(self, old, new):
        keep = [ctypes.create_string_buffer(v, len(v) + 1) for v in (old, new)]
        views = [Core.Buf(ctypes.cast(k, ctypes.POINTER(ctypes.c_uint8)), len(v), len(v))
                 for k, v in zip(keep, (old, new))]
        out = self.lib.diff_generate_binary(ctypes.byref(views[0]), ctypes.byref(views[1]))
        delta = ctypes.string_at(out.contents.data, out.contents.len)
        self.lib.buf_free(out)
        return delta


def value_pairs():
    """Old and new values for the patch and diff seeds."""
    pairs = [(FOX, CAT), (b"abc", b"abc"), (b"a", b"a"), (b"", b""), (b"abc", b"xyz"), (b"abc", b""),
             (b"abc", b"abcd"), (b"abcXdef", b"abcYYdef"), (b"ab" * 40, b"ba" * 41),
             (bytes(range(256)), bytes(range(128, 256)) + bytes(range(128)))]
    # Slices of two real versions of a file, where they differ.
    for start in (0, 20000, 60000):
        pairs.append((TAR_OLD[start:start + 1500], TAR_NEW[start:start + 1500]))
    return pairs


def patch_seed(old, delta, bound=0):
    return bytes([bound]) + struct.pack(">H", len(old)) + old + delta


def patch_seeds(core):
    abc, eight = b"abc", b"abcdefgh"
    seeds = [
        patch_seed(FOX, h("00 10 43 63 61 74 13 18 18")),
        patch_seed(FOX, h("f6")), patch_seed(FOX, b""), patch_seed(FOX, h("00")),
        patch_seed(FOX, h("00 41 61")), patch_seed(FOX, h("20")), patch_seed(FOX, h("80")),
        patch_seed(eight, h("02 03")), patch_seed(eight, h("00 02 00 02"), 3),
        patch_seed(abc, h("63 61 62 63")), patch_seed(abc, h("43 61 62")),
        patch_seed(abc, copy(3, 0) + copy(0, 3) + copy(2, 1)),  # copies at the old value's end
        patch_seed(abc, copy(3, 1)),
        patch_seed(bytes(300), copy(0, 0x18) + copy(0x100, 0x2c) + h("1a 00 00 00 01 1a 00 00 00 02")),
        patch_seed(abc, h("1b 00 00 00 00 00 00 00 01 1b 00 00 00 00 00 00 00 02")),
        patch_seed(abc, h("1a ff ff ff ff 02")),
        patch_seed(abc, h("58 02 78 79 59 00 01 7a 5a 00 00 00 01 77 5b 00 00 00 00 00 00 00 01 76")),
        patch_seed(abc, h("5f 41 78 42 79 7a ff 00 01 7f 62 68 69 ff")),  # indefinite strings
        patch_seed(abc, h("d8 01 02 c1 00 01 db 00")),  # tags
        patch_seed(abc, h("1c 02 3c 5c 7c 9c bc dc fc ff")),  # reserved codes
        patch_seed(abc, h("e0 f3 f8 01 00 01")),  # unimplemented simple values
        patch_seed(abc, h("f9 3c 00 fa 47 c3 50 00 fb 3f f1 99 99 99 99 99 9a f4 f5 f7 00 01")),
        patch_seed(abc, h("9f 82 a1 bf 01 ff ff 00 03"), 2),
    ]
    if core is not None:
        for old, new in value_pairs():
            seeds.append(patch_seed(old, core.diff(old, new)))
    return seeds


def diff_seeds():
    seeds = []
    for i, (old, new) in enumerate(value_pairs()):
        # Every generator with a few limit and utilisation bytes.
        # (the fourth generator, where present, is the indexed one)
        seeds.append(bytes([i % 4, (37 * i) % 256, (11 * i) % 256]) + struct.pack(">H", len(old)) + old + new)
    seeds.append(bytes([1, 3, 0]) + struct.pack(">H", 43) + FOX + CAT)
    seeds.append(bytes([2, 250, 1]) + struct.pack(">H", 43) + FOX + CAT)
    return seeds


def parser_seeds():
    vectors = json.loads((ROOT / "src/test/python/data/appendix_a.json").read_text())
    seeds = [h(v["hex"]) for v in vectors]
    seeds += [h("18"), h("43 01 02"), h("5b ff ff ff ff ff ff ff ff"), h("9f 01 ff"), h("d8 20"), h("e0 f8 1c"),
              h("7f 61 61 ff 5f ff"), h("fa 7f fc 00 00 f9 7e 00")]
    return seeds


def readers_seeds():
    values = [0, 1, 127, 128, 300, 16383, 16384, 2**32 - 1, 2**64 - 1]
    seeds = []
    for v in values:
        out = bytearray()
        while v >= 128:
            out.append(v & 0x7f | 0x80)
            v >>= 7
        out.append(v)
        seeds.append(bytes(out))
    seeds += [h("ff ff ff ff 7f"), h("80 80 80 80 80"), h("ff ff ff ff ff ff ff ff ff 81"),
              h("02 68 69"), h("00"), h("03 61 62 63 02 68 69 00 81 01") + bytes(129)]
    return seeds


def float_seeds():
    values = [0.0, -0.0, 1.0, 1.5, 0.5, 3.0, -4.0, 65504.0, 65520.0, 65536.0, 100000.0, 2.0**-14,
              1.5 * 2.0**-14, 2.0**-15, 2.0**-24, 1.1, 0.1, 1e300, 3.4028234663852886e38, float("nan"),
              float("inf"), float("-inf"), 5e-324, 2.0**-149, 2.0**-126]
    seeds = [struct.pack("=d", v) for v in values]
    # A ninth byte steers the target to a single's bits or a scaled integer.
    seeds += [struct.pack("=fIB", 1.5, 0, 1), struct.pack("=fIB", 2.0**-149, 0, 1), struct.pack("=ibxxxB", 2047, -20, 2),
              struct.pack("=ibxxxB", -8191, 30, 2)]
    return seeds


def dumps_seeds():
    # The dumps target reads its choices through atheris' data provider, so
    # seeds are plain bytes of several lengths.
    import random
    rng = random.Random(8949)
    return [bytes(rng.getrandbits(8) for _ in range(n)) for n in (8, 16, 32, 64, 128, 256, 512) for _ in range(4)]


def main():
    core = Core(sys.argv[1]) if len(sys.argv) > 1 else None
    corpora = {"patch": patch_seeds(core), "diff": diff_seeds(), "parser": parser_seeds(),
               "readers": readers_seeds(), "float": float_seeds(), "dumps": dumps_seeds()}
    for target, seeds in corpora.items():
        out = HERE / "corpus" / target
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        for i, seed in enumerate(seeds):
            (out / f"seed-{i:03d}").write_bytes(seed)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
