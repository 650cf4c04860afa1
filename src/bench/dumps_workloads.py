"""The values the dumps benchmarks serialise, made from fixed seeds so that
every process (and every interpreter) builds the same ones."""
import random
import struct


def records(rng, n):
    out = []
    for i in range(n):
        out.append({
            "id": i,
            "name": "user%d" % rng.randrange(10**6),
            "email": "user%d@example.org" % i,
            "active": rng.random() < 0.5,
            "score": round(rng.uniform(0, 100), 2),
            "balance": rng.randrange(-10**9, 10**9),
            "tags": ["t%d" % rng.randrange(50) for _ in range(rng.randrange(1, 5))],
            "address": {"city": "City%d" % rng.randrange(100), "zip": "%05d" % rng.randrange(10**5)},
            "note": None,
        })
    return out


def nested(depth, width):
    # `width` chains, each `depth` levels of alternating maps and arrays.
    chains = []
    for w in range(width):
        node = {"leaf": w, "values": [1, 2.5, "x"]}
        for level in range(depth):
            node = {"level": level, "child": node} if level % 2 else [level, node, None]
        chains.append(node)
    return chains


def mixed_floats(rng, n):
    out = []
    for i in range(n):
        kind = i % 3
        if kind == 0:  # exact in half precision
            out.append(rng.randrange(-2048, 2048) / 16.0)
        elif kind == 1:  # exact in single precision only
            out.append(struct.unpack("f", struct.pack("f", rng.uniform(-1e6, 1e6)))[0])
        else:  # needs double precision
            out.append(rng.uniform(-1e6, 1e6))
    return out


def int_keys(rng, n):
    return {rng.randrange(-2**40, 2**40): i for i in range(n)}


def payload(rng):
    """Large strings: 1 MiB and 48 x 64 KiB of bytes, and 32 texts of 32 KiB
    of characters (half of them ASCII, half with two- and three-byte UTF-8
    forms)."""
    blobs = [rng.randbytes(1 << 20)] + [rng.randbytes(64 << 10) for _ in range(48)]
    alphabets = ["abcdefghijklmnopqrstuvwxyz0123456789 ", "abc\u00e9\u00fc\u00df\u20ac\u4e2d "]
    texts = ["".join(rng.choice(alphabets[i % 2]) for _ in range(32 << 10)) for i in range(32)]
    return blobs + texts


def dumps_workloads(with_nested=True):
    """(name, value) pairs, in the order the benchmarks print them."""
    rng = random.Random(1)
    out = [("10,000 JSON-like records", records(rng, 10000))]
    if with_nested:
        out.append(("nested: 300 chains x 300 levels", nested(300, 300)))
    out += [
        ("100,000 floats, mixed precision", mixed_floats(rng, 100000)),
        ("dict with 100,000 int keys", int_keys(rng, 100000)),
        ("1 MiB + 48 x 64 KiB bytes, 32 texts", payload(rng)),
    ]
    return out
