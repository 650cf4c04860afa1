"""The benchmark corpus: value pairs for the delta tools and documents for
the serialisers, the same bytes on every run and every machine.

Synthetic bytes come from SHAKE-256 streams and a splitmix64 generator
written out here (not the random module, whose methods may change between
Python versions). Real pairs come from files in this repository and from
wheels on PyPI pinned by version and SHA-256, so a changed file is an error
instead of a silently different benchmark.
"""
import hashlib
import io
import itertools
import os
import struct
import subprocess
import sys
import zipfile

# Bump when any generator below changes, so cached files are made anew.
CORPUS_VERSION = 1

KIB = 1 << 10
MIB = 1 << 20
_M64 = (1 << 64) - 1

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


class Rng:
    """splitmix64: small, fast enough for edit positions, fixed forever."""

    def __init__(self, seed):
        self.state = seed & _M64

    def next64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & _M64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _M64
        return z ^ (z >> 31)

    def below(self, n):
        return self.next64() % n

    def unit(self):
        return (self.next64() >> 11) * 2.0 ** -53

    def uniform(self, lo, hi):
        return lo + (hi - lo) * self.unit()

    def bytes(self, n):
        return bytes(self.below(256) for _ in range(n))


def noise(label, n):
    """n pseudo-random bytes named by a label (incompressible data)."""
    return hashlib.shake_256(label.encode()).digest(n)


# ---------------------------------------------------------------- edits

def scattered_edits(rng, src, mean_gap):
    """Small edits (replace, insert or delete 1 to 8 bytes) spread over the
    value, one about every mean_gap bytes."""
    out = bytearray()
    i = 0
    while i < len(src):
        take = min(mean_gap // 2 + rng.below(mean_gap), len(src) - i)
        out += src[i:i + take]
        i += take
        if i >= len(src):
            break
        n = 1 + rng.below(8)
        kind = rng.below(3)
        if kind == 0:
            out += rng.bytes(n)
            i += n
        elif kind == 1:
            out += rng.bytes(n)
        else:
            i += n
    return bytes(out)


def block_edits(rng, src, count, min_len, max_len, insert_from):
    """count/2 blocks inserted and count/2 deleted, one edit in each of
    count equal stretches of src so that no two overlap. Inserted blocks are
    taken from insert_from(n)."""
    stretch = len(src) // count
    kinds = [k % 2 for k in range(count)]
    for k in range(count - 1, 0, -1):  # Fisher-Yates: which stretches insert
        j = rng.below(k + 1)
        kinds[k], kinds[j] = kinds[j], kinds[k]
    out = bytearray()
    i = 0
    for k in range(count):
        n = min_len + rng.below(max_len - min_len + 1)
        at = k * stretch + rng.below(max(1, stretch - n))
        out += src[i:at]
        i = at
        if kinds[k]:
            out += insert_from(n)
        else:
            i += n
    out += src[i:]
    return bytes(out)


def word_fixups(rng, src, every):
    """Adds a small amount to one aligned 32-bit word in about every
    `every` bytes, like the addresses a relink moves."""
    out = bytearray(src)
    i = 0
    while True:
        i += (every // 2 + rng.below(every)) & ~3
        if i + 4 > len(out):
            return bytes(out)
        (word,) = struct.unpack_from("<I", out, i)
        struct.pack_into("<I", out, i, (word + 16 + rng.below(4096)) & 0xFFFFFFFF)


# ---------------------------------------------------------------- shapes

def shape_scattered(size):
    old = noise("base-%d" % size, size)
    # 1 to 8 bytes (4.5 on average) every 4,500 bytes: 0.1% changed.
    return old, scattered_edits(Rng(101), old, 4500)


def shape_blocks(size):
    old = noise("base-%d" % size, size)
    made = itertools.count()
    return old, block_edits(Rng(103), old, 16, size // 512, size // 128,
                            lambda n: noise("blocks-%d-%d" % (size, next(made)), n))


def shape_moved(size):
    old = noise("base-%d" % size, size)
    rng = Rng(104)
    length = size // 8
    src = size // 8 + rng.below(size // 16)
    rest = old[:src] + old[src + length:]
    dst = size // 2 + rng.below(size // 4)
    return old, rest[:dst] + old[src:src + length] + rest[dst:]


def shape_append(size):
    old = noise("base-%d" % size, size)
    return old, old + noise("append-%d" % size, size // 64)


def shape_unrelated(size):
    return noise("base-%d" % size, size), noise("other-%d" % size, size)


def shape_pattern(size):
    # A 251-byte period, and the same data starting 100 bytes later.
    period = noise("period", 251)
    whole = period * (size // len(period) + 2)
    return whole[:size], whole[100:100 + size]


SHAPES = [
    ("scattered", "0.1% changed in small scattered edits", shape_scattered),
    ("blocks", "8 blocks inserted, 8 deleted", shape_blocks),
    ("moved", "one block (1/8 of the value) moved", shape_moved),
    ("append", "1/64 of the size appended", shape_append),
    ("unrelated", "unrelated random values", shape_unrelated),
    ("pattern", "251-byte repeating pattern, shifted by 100 bytes", shape_pattern),
]


# ---------------------------------------------------------------- real pairs

# Wheels on PyPI never change once published; the hashes make sure of it.
WHEELS = {
    ("Django", "4.2"): ("Django-4.2-py3-none-any.whl",
                        "ad33ed68db9398f5dfb33282704925bce044bef4261cd4fb59e4e7f9ae505a78"),
    ("Django", "4.2.7"): ("Django-4.2.7-py3-none-any.whl",
                          "e1d37c51ad26186de355cbcec16613ebdabfa9689bbade9c538835205a8abbe9"),
    ("numpy", "1.26.3"): ("numpy-1.26.3-cp311-cp311-manylinux_2_17_x86_64.manylinux2014_x86_64.whl",
                          "f25e2811a9c932e43943a2615e65fc487a0b6b49218899e62e426e7f0a57eeda"),
    ("numpy", "1.26.4"): ("numpy-1.26.4-cp311-cp311-manylinux_2_17_x86_64.manylinux2014_x86_64.whl",
                          "666dbfb6ec68962c033a450943ded891bed2d54e6755e35e5835d63f4f6931d5"),
}


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def wheel(cache, name, version):
    filename, digest = WHEELS[(name, version)]
    path = os.path.join(cache, "downloads", filename)
    if not os.path.exists(path):
        # The platform options fetch the same file whatever the running
        # interpreter is; nothing is installed.
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--only-binary=:all:",
                        "--platform", "manylinux2014_x86_64", "--python-version", "3.11",
                        "--implementation", "cp", "-d", os.path.dirname(path), "%s==%s" % (name, version)],
                       check=True)
    if sha256_file(path) != digest:
        raise RuntimeError("%s does not have the pinned SHA-256 %s: remove it and run again" % (path, digest))
    return zipfile.ZipFile(path)


def django_sources(cache, version):
    # Every .py file of the release, in path order: about 5.4 MB.
    z = wheel(cache, "Django", version)
    names = sorted(n for n in z.namelist() if n.endswith(".py"))
    out = io.BytesIO()
    for n in names:
        out.write(z.read(n))
    return out.getvalue()


NUMPY_CORE = "numpy/core/_multiarray_umath.cpython-311-x86_64-linux-gnu.so"
NUMPY_MTRAND = "numpy/random/mtrand.cpython-311-x86_64-linux-gnu.so"
OPENBLAS = "numpy.libs/libopenblas64_p-r0-0cf96a72.3.23.dev.so"


def pair_text(cache):
    d = os.path.join(REPO, "examples", "data")
    with open(os.path.join(d, "tarfile-3.11.2.py.txt"), "rb") as a, \
            open(os.path.join(d, "tarfile-3.11.7.py.txt"), "rb") as b:
        return a.read(), b.read()


def pair_py_releases(cache):
    return django_sources(cache, "4.2"), django_sources(cache, "4.2.7")


def pair_binary_releases(cache):
    return wheel(cache, "numpy", "1.26.3").read(NUMPY_CORE), wheel(cache, "numpy", "1.26.4").read(NUMPY_CORE)


def pair_binary_edits(cache):
    old = wheel(cache, "numpy", "1.26.4").read(NUMPY_MTRAND)
    rng = Rng(105)

    def copy_of_old(n):  # inserted code looks like code from elsewhere
        at = rng.below(len(old) - n)
        return old[at:at + n]

    new = block_edits(rng, old, 16, 16, 512, copy_of_old)
    return old, word_fixups(rng, new, 2000)


def wheel_files(cache, name, version, suffix):
    z = wheel(cache, name, version)
    return b"".join(z.read(n) for n in sorted(n for n in z.namelist() if n.endswith(suffix)))


def real_base(cache, size):
    """size bytes of real files, as an archive of them holds: 64 KiB at a
    time of code (Django 4.2's .py files), text in many languages (its .po
    message catalogues) and machine code (numpy 1.26.3's OpenBLAS), two
    parts machine code to one of each other."""
    sources = [wheel_files(cache, "Django", "4.2", ".py"), wheel_files(cache, "Django", "4.2", ".po"),
               wheel(cache, "numpy", "1.26.3").read(OPENBLAS)]
    kinds = [0, 1, 2, 2]
    taken = [0, 0, 0]
    out = bytearray()
    while len(out) < size:
        src = kinds[(len(out) // (64 * KIB)) % len(kinds)]
        out += sources[src][taken[src]:taken[src] + 64 * KIB]
        taken[src] += 64 * KIB
    return bytes(out[:size])


def real_taker(cache, seed):
    """Gives slices of real material that the real base does not hold, but
    of the same kinds: code (numpy 1.26.4's .py files), text (the later half
    of Django 4.2.7's message catalogues) and machine code (numpy 1.26.4's
    _multiarray_umath), in turn, from positions picked by a fixed seed."""
    text = wheel_files(cache, "Django", "4.2.7", ".po")
    pool = [wheel_files(cache, "numpy", "1.26.4", ".py"), text[len(text) // 2:],
            wheel(cache, "numpy", "1.26.4").read(NUMPY_CORE)]
    rng = Rng(seed)
    made = itertools.count()

    def take(n):
        parts = []
        while n > 0:
            src = pool[next(made) % len(pool)]
            k = min(n, len(src) // 2)
            at = rng.below(len(src) - k)
            parts.append(src[at:at + k])
            n -= k
        return b"".join(parts)
    return take


def real_blocks(size):
    def make(cache):
        old = real_base(cache, size)
        return old, block_edits(Rng(108), old, 16, size // 512, size // 128, real_taker(cache, 109))
    return make


def real_append(size):
    def make(cache):
        old = real_base(cache, size)
        return old, old + real_taker(cache, 110)(size // 16)
    return make


def pair_py_files(cache):
    """Every .py file of Django that changed between 4.2 and 4.2.7, as
    separate pairs."""
    a, b = wheel(cache, "Django", "4.2"), wheel(cache, "Django", "4.2.7")
    names = sorted(set(n for n in a.namelist() if n.endswith(".py")) & set(b.namelist()))
    return [(a.read(n), b.read(n)) for n in names if a.read(n) != b.read(n)]


def numpy_shared_objects(cache, version):
    # Every .so of the wheel but OpenBLAS (35 MB, not rebuilt between the
    # two releases) and _multiarray_umath (its own case), in path order.
    z = wheel(cache, "numpy", version)
    names = sorted(n for n in z.namelist() if n.endswith(".so") and n != NUMPY_CORE and not n.startswith("numpy.libs/"))
    return b"".join(z.read(n) for n in names)


def pair_so_releases(cache):
    return numpy_shared_objects(cache, "1.26.3"), numpy_shared_objects(cache, "1.26.4")


def pair_tiny_10(cache):
    old = noise("tiny-10", 10)
    return old, old[:4] + b"\x00\x01" + old[5:]


def pair_tiny_1k(cache):
    old = noise("tiny-1024", KIB)
    return old, scattered_edits(Rng(106), old, 256)


class DeltaCase:
    """A pair of values, or with pairs=True a list of pairs that every tool
    encodes one after the other (measured and sized as one)."""

    def __init__(self, case_id, title, make, quick, pairs=False):
        self.id = case_id
        self.title = title
        self.make = make
        self.quick = quick
        self.pairs = pairs


def delta_cases():
    cases = [
        DeltaCase("tiny-10B", "10-byte values, a small edit", pair_tiny_10, True),
        DeltaCase("tiny-1K", "1 KiB values, small edits", pair_tiny_1k, True),
        DeltaCase("text-pair", "examples/ pair: tarfile.py of CPython 3.11.2 and 3.11.7", pair_text, True),
        DeltaCase("binary-edits", "numpy 1.26.4 mtrand .so with synthetic edits (16 blocks, address fixups)",
                  pair_binary_edits, True),
        DeltaCase("py-releases", "all .py files of Django 4.2 and 4.2.7, concatenated", pair_py_releases, False),
        DeltaCase("binary-releases", "numpy _multiarray_umath .so, releases 1.26.3 and 1.26.4",
                  pair_binary_releases, False),
        DeltaCase("py-files", "the 39 .py files that changed from Django 4.2 to 4.2.7, as separate pairs",
                  pair_py_files, True, pairs=True),
        DeltaCase("so-releases", "numpy's other 18 .so files of 1.26.3 and 1.26.4, concatenated",
                  pair_so_releases, False),
    ]
    for size, label in ((MIB, "1M"), (16 * MIB, "16M")):
        for shape, title, make in SHAPES:
            cases.append(DeltaCase("%s-%s" % (label, shape), "%s MiB: %s" % (label[:-1], title),
                                   (lambda m, s: lambda cache: m(s))(make, size), size <= MIB))
        cases.append(DeltaCase("%s-real-blocks" % label, "%s MiB of real files: 8 blocks of other real code, text "
                               "and machine code inserted, 8 deleted" % label[:-1], real_blocks(size), size <= MIB))
    cases.append(DeltaCase("16M-real-append", "16 MiB of real files: 1 MiB of other real code, text and "
                           "machine code appended",
                           real_append(16 * MIB), False))
    return cases


def frame_pairs(values):
    """Several values in one file: each preceded by its length (4 bytes,
    little-endian)."""
    return b"".join(struct.pack("<I", len(v)) + v for v in values)


def unframe(data):
    out, i = [], 0
    while i < len(data):
        (n,) = struct.unpack_from("<I", data, i)
        out.append(data[i + 4:i + 4 + n])
        i += 4 + n
    return out


def case_files(cache, case):
    """The case's old and new values as files under the cache (made once)."""
    d = os.path.join(cache, "v%d" % CORPUS_VERSION)
    old_path, new_path = os.path.join(d, case.id + ".old"), os.path.join(d, case.id + ".new")
    if not (os.path.exists(old_path) and os.path.exists(new_path)):
        os.makedirs(d, exist_ok=True)
        if case.pairs:
            pairs = case.make(cache)
            old, new = frame_pairs([p[0] for p in pairs]), frame_pairs([p[1] for p in pairs])
        else:
            old, new = case.make(cache)
        for path, data in ((old_path, old), (new_path, new)):
            with open(path + ".tmp", "wb") as f:
                f.write(data)
            os.replace(path + ".tmp", path)
    return old_path, new_path


# ---------------------------------------------------------------- documents

def records(rng, n):
    out = []
    for i in range(n):
        out.append({
            "id": i,
            "name": "user%d" % rng.below(10 ** 6),
            "email": "user%d@example.org" % i,
            "active": rng.below(2) == 1,
            "score": round(rng.uniform(0, 100), 2),
            "balance": rng.below(2 * 10 ** 9) - 10 ** 9,
            "tags": ["t%d" % rng.below(50) for _ in range(1 + rng.below(4))],
            "address": {"city": "City%d" % rng.below(100), "zip": "%05d" % rng.below(10 ** 5)},
            "note": None,
        })
    return out


def mixed_floats(rng, n):
    out = []
    for i in range(n):
        kind = i % 3
        if kind == 0:  # exact in half precision
            out.append((rng.below(4096) - 2048) / 16.0)
        elif kind == 1:  # exact in single precision only
            out.append(struct.unpack("f", struct.pack("f", rng.uniform(-1e6, 1e6)))[0])
        else:  # needs double precision
            out.append(rng.uniform(-1e6, 1e6))
    return out


def int_keys(rng, n):
    out = {}
    while len(out) < n:
        out[rng.below(1 << 41) - (1 << 40)] = len(out)
    return out


def payload():
    words = [b"station", b"reading", b"delta", b"value", b"north", b"window", b"sensor", b"42"]
    rng = Rng(107)
    texts = []
    for t in range(32):
        parts = []
        length = 0
        while length < 32 * KIB:
            w = words[rng.below(len(words))]
            parts.append(w)
            length += len(w) + 1
        texts.append(b" ".join(parts)[:32 * KIB].decode())
    return {
        "blob": noise("payload-blob", MIB),
        "chunks": [noise("payload-chunk-%d" % k, 64 * KIB) for k in range(48)],
        "texts": texts,
    }


def nested(depth, width):
    # `width` chains, each `depth` levels of alternating maps and arrays.
    chains = []
    for w in range(width):
        node = {"leaf": w, "values": [1, 2.5, "x"]}
        for level in range(depth):
            node = {"level": level, "child": node} if level % 2 else [level, node, None]
        chains.append(node)
    return chains


# name: (title, JSON-compatible, builder)
DOCUMENTS = {
    "records": ("10,000 JSON-like records", True, lambda: records(Rng(201), 10000)),
    "floats": ("100,000 floats (a third each half-, single-, double-exact)", True,
               lambda: mixed_floats(Rng(202), 100000)),
    "int-keys": ("dict with 100,000 int keys", False, lambda: int_keys(Rng(203), 100000)),
    "payload": ("1 MiB + 48 x 64 KiB bytes, 32 strings of 32 KiB", False, payload),
}
