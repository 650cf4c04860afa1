"""dumps checked against independent references: the CBOR examples of
RFC 8949 Appendix A, and cbor2 as decoder for generated values."""
import decimal
import gc
import itertools
import json
import math
import pathlib
import platform
import re
import struct

import cbor2
import pytest
from hypothesis import example, given, strategies as st

from conftest import dumps_fast_paths
from kestrava_core.cbor import dumps

try:
    import numpy
except ImportError:  # the suite also runs where numpy has no build
    numpy = None

# The tests against references run with the shortcuts for exact built-in
# types and without.
both_paths = pytest.mark.usefixtures("dumps_paths")

VECTORS = json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())
DEFINITE = [v for v in VECTORS if "decoded" in v and v["roundtrip"]]
INDEFINITE = [v for v in VECTORS if "decoded" in v and not v["roundtrip"]]

# Where this encoder deliberately differs from the appendix: integers are
# written only from -2**63 to 2**64 - 1, and half precision is never used
# for subnormal halves (2**-24 is written in single precision).
OUT_OF_RANGE = {"c249010000000000000000", "3bffffffffffffffff", "c349010000000000000000"}
OWN_FORM = {"f90001": "fa33800000"}


@pytest.mark.parametrize("vector", DEFINITE, ids=[v["hex"][:24] for v in DEFINITE])
@both_paths
def test_appendix_a_definite(vector):
    value, expected = vector["decoded"], vector["hex"]
    if expected in OUT_OF_RANGE:
        with pytest.raises(RuntimeError, match="out of range"):
            dumps(value, indefinite=False)
        return
    assert dumps(value, indefinite=False).hex() == OWN_FORM.get(expected, expected)


@both_paths
def test_appendix_a_indefinite_forms():
    # The appendix examples written with indefinite lengths throughout are
    # what the default configuration writes.
    throughout = {"9fff", "bf61610161629f0203ffff", "bf6346756ef563416d7421ff"}
    checked = [v for v in INDEFINITE if v["hex"] in throughout]
    assert len(checked) == 3
    for v in checked:
        assert dumps(v["decoded"]).hex() == v["hex"]


def normalise(value):
    """What a CBOR round trip gives back: tuples become lists, bytearrays
    text."""
    if isinstance(value, (list, tuple)):
        return [normalise(v) for v in value]
    if isinstance(value, dict):
        return {normalise_key(k): normalise(v) for k, v in value.items()}
    if isinstance(value, bytearray):
        return bytes(value).decode("utf-8")
    return value


def normalise_key(key):
    return tuple(normalise_key(k) for k in key) if isinstance(key, tuple) else key


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return len(a) == len(b) and all(k in b and same(v, b[k]) for k, v in a.items())
    return type(a) is type(b) and a == b


scalars = (
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=True)
    | st.text(max_size=30) | st.binary(max_size=30)
    | st.binary(max_size=10).filter(lambda b: _utf8(b)).map(bytearray)
    # Long enough to be spliced into the result rather than copied through
    # the output (from 2048 bytes).
    | st.builds(lambda n, c: c * (n // len(c.encode())), st.integers(2040, 5000), st.sampled_from(["a", "\u00e9", "\u20ac"]))
    | st.builds(lambda n, b: b * n, st.integers(2040, 5000), st.binary(min_size=1, max_size=1))
)
keys = st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.text(max_size=10) | st.binary(max_size=10)
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=6) | st.lists(children, max_size=4).map(tuple)
    | st.dictionaries(keys, children, max_size=5),
    max_leaves=40,
)


def _utf8(b):
    try:
        b.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


@both_paths
@given(values)
def test_cbor2_reads_back_what_dumps_writes(value):
    expected = normalise(value)
    for indefinite in (True, False):
        encoded = dumps(value, indefinite=indefinite)
        assert same(cbor2.loads(encoded), expected)


def fits(fmt, x):
    try:
        return struct.unpack(fmt, struct.pack(fmt, x))[0] == x
    except OverflowError:
        return False


@both_paths
@given(st.floats(allow_nan=False))
def test_floats_round_trip_exactly_in_the_shortest_form(x):
    encoded = dumps(x)
    decoded = cbor2.loads(encoded)
    assert decoded == x and math.copysign(1, decoded) == math.copysign(1, x)
    # Half precision for zeros and normal halves, else single precision
    # when exact, else double.
    if x == 0 or (fits(">e", x) and abs(x) >= 2**-14):
        assert len(encoded) == 3
    elif fits(">f", x):
        assert len(encoded) == 5
    else:
        assert len(encoded) == 9


@both_paths
@given(st.integers(-2**63, 2**64 - 1))
def test_integers_match_cbor2(n):
    assert dumps(n) == cbor2.dumps(n)


@both_paths
def test_output_lengths_and_string_heads_match_cbor2():
    # The output grows by doubling from 256 bytes; string heads change at
    # 24, 256 and 65536 bytes, and exact strings from 2048 bytes are spliced
    # in at the end. Outputs ending on and around each of these lengths.
    for n in list(range(0, 600)) + [2040, 2047, 2048, 4093, 4094, 65535, 65536, 70000]:
        for value in ([1, b"x" * n], [b"y" * n, "z" * n], ["\u00e9" * (n // 2), None], list(range(n))):
            assert dumps(value, indefinite=False) == cbor2.dumps(value), n
    # Strings that are not exact str or bytes are always copied in.
    for n in (23, 24, 255, 256, 65535, 65536, 70000):
        assert dumps(LStr("s" * n)) == cbor2.dumps("s" * n)
        assert dumps(LBytes(b"b" * n)) == cbor2.dumps(b"b" * n)
        head = cbor2.dumps("t" * n)[:-n]
        assert dumps(bytearray(b"t" * n)) == head + b"t" * n


# --- the shortcuts against the general matching ----------------------------
#
# Values are generated as recipes and built afresh for every call, since some
# of their objects change the containers they sit in. Each object that runs
# Python code records the call in a log; with and without the shortcuts,
# dumps must give the same bytes or the same exception and message, after
# the same calls in the same order.

class LInt(int):
    def __new__(cls, value, log, tag, equal):
        self = super().__new__(cls, value)
        self.log, self.tag, self.equal = log, tag, equal
        return self

    def __eq__(self, other):
        self.log.append(("eq", self.tag))
        return self.equal and int(self) == other

    def __str__(self):
        self.log.append(("str", self.tag))
        return "LInt%d" % int(self)

    def __index__(self):
        self.log.append(("index", self.tag))
        return int(self)

    __hash__ = int.__hash__


class LFloat(float):
    pass


class LStr(str):
    pass


class LBytes(bytes):
    pass


class LList(list):
    def __getitem__(self, index):
        self.log.append(("getitem", self.tag, index))
        return super().__getitem__(index)


class LTuple(tuple):
    def __getitem__(self, index):
        self.log.append(("getitem", self.tag, index))
        return super().__getitem__(index)


class LDict(dict):
    def __iter__(self):
        self.log.append(("iter", self.tag))
        return super().__iter__()

    def items(self):
        self.log.append(("items", self.tag))
        return super().items()


class Index:
    def __init__(self, value, log, tag):
        self.value, self.log, self.tag = value, log, tag

    def __index__(self):
        self.log.append(("index", self.tag))
        return self.value


class Truth:
    def __init__(self, truth, log, tag):
        self.truth, self.log, self.tag = truth, log, tag

    def __bool__(self):
        self.log.append(("bool", self.tag))
        if self.truth is None:
            raise ValueError("no truth")
        return self.truth


class Changer:
    """Changes the container it sits in when its truth is asked for."""

    def __init__(self, action, log, tag):
        self.action, self.log, self.tag, self.target = action, log, tag, None

    def __bool__(self):
        self.log.append(("bool", self.tag, self.action))
        t = self.target
        if isinstance(t, list):
            if self.action == "shrink":
                t.clear()
            else:
                t.append(0)
        elif isinstance(t, dict):
            if self.action == "shrink":
                if len(t) > 1:
                    del t[next(iter(t))]
            else:
                t["grown%d" % len(t)] = 0
        return True

    if platform.python_implementation() == "CPython":
        # Where releases are immediate, when the element is let go counts too.
        def __del__(self):
            self.log.append(("del", self.tag))


def _tagged(kind):
    return st.tuples(st.just(kind), st.integers(0, 10**6))


hostile_scalar = st.one_of(
    st.tuples(st.just("lint"), st.integers(-2**70, 2**70), st.booleans()),
    st.tuples(st.just("lfloat"), st.floats()),
    st.tuples(st.just("lstr"), st.text(max_size=5)),
    st.tuples(st.just("lbytes"), st.binary(max_size=5)),
    st.tuples(st.just("index"), st.integers(-2**65, 2**65)),
    st.tuples(st.just("truth"), st.sampled_from([True, False, None])),
    st.tuples(st.just("changer"), st.sampled_from(["shrink", "grow"])),
    st.tuples(st.just("other"), st.sampled_from(["set", "bytearray", "surrogate", "decimal", "numpy"])),
)
# Long strings too: those of exact types are spliced into the result
# instead of being copied through the output.
long_strings = st.builds(lambda n, kind: {"ascii": "a" * n, "accents": "\u00e9" * (n // 2), "bytes": b"\xff" * n,
                                          "lstr": LStr("b" * n), "lbytes": LBytes(b"c" * n)}[kind],
                         st.sampled_from([2047, 2048, 5000]), st.sampled_from(["ascii", "accents", "bytes", "lstr", "lbytes"]))
plain_scalar = st.tuples(st.just("plain"), st.none() | st.booleans() | st.integers(-2**66, 2**66) | st.floats()
                         | st.text(max_size=8) | st.binary(max_size=8) | long_strings)
recipe_keys = st.recursive(
    plain_scalar | st.tuples(st.just("lint"), st.integers(-2**65, 2**65), st.booleans())
    | st.tuples(st.just("lstr"), st.text(max_size=5)) | st.tuples(st.just("truth"), st.sampled_from([True, None]))
    | st.tuples(st.just("changer"), st.sampled_from(["shrink", "grow"])),
    lambda children: st.tuples(st.sampled_from(["tuple", "ltuple"]), st.lists(children, max_size=3)),
    max_leaves=4,
)
changes = st.sampled_from(["shrink", "grow"])


def changing(children):
    """Containers with an element that changes them, followed by others."""
    return (st.builds(lambda kind, before, change, after: (kind, before + [("changer", change)] + after),
                      st.sampled_from(["list", "llist"]), st.lists(children, max_size=3), changes,
                      st.lists(children, min_size=1, max_size=3))
            | st.builds(lambda kind, before, key, change, after: (kind, before + [(key, ("changer", change))] + after),
                        st.sampled_from(["dict", "ldict"]), st.lists(st.tuples(recipe_keys, children), max_size=3),
                        recipe_keys, changes, st.lists(st.tuples(recipe_keys, children), min_size=1, max_size=3)))


recipes = st.recursive(
    plain_scalar | hostile_scalar,
    lambda children: st.tuples(st.sampled_from(["list", "tuple", "llist", "ltuple"]), st.lists(children, max_size=5))
    | st.tuples(st.sampled_from(["dict", "ldict"]), st.lists(st.tuples(recipe_keys, children), max_size=4))
    | changing(children),
    max_leaves=30,
)


def build(recipe, log, tags):
    kind = recipe[0]
    tag = next(tags)
    if kind == "plain":
        return recipe[1]
    if kind == "lint":
        return LInt(recipe[1], log, tag, recipe[2])
    if kind in ("lfloat", "lstr", "lbytes"):
        return {"lfloat": LFloat, "lstr": LStr, "lbytes": LBytes}[kind](recipe[1])
    if kind == "index":
        return Index(recipe[1], log, tag)
    if kind == "truth":
        return Truth(recipe[1], log, tag)
    if kind == "changer":
        return Changer(recipe[1], log, tag)
    if kind == "other":
        return other_object(recipe[1])
    if kind in ("dict", "ldict"):
        made = LDict() if kind == "ldict" else {}
        for key, value in recipe[1]:
            made[build(key, log, tags)] = build(value, log, tags)
        items = list(made.keys()) + list(made.values())
    else:
        items = [build(child, log, tags) for child in recipe[1]]
        made = {"list": list, "tuple": tuple, "llist": LList, "ltuple": LTuple}[kind](items)
    if kind in ("llist", "ltuple", "ldict"):
        made.log, made.tag = log, tag
    for item in items:
        if isinstance(item, Changer):
            item.target = made
    return made


def other_object(which):
    if which == "set":
        return {1, 2}
    if which == "bytearray":
        return bytearray(b"ab\xff")
    if which == "surrogate":
        return "a\ud800"
    if which == "decimal":
        return decimal.Decimal("0.5")
    return numpy.int64(-7) if numpy is not None else 7


def outcome(recipe, on, options):
    log = []
    value = build(recipe, log, itertools.count())
    # Building may compare keys (__eq__), as often as their hashes collide.
    log.clear()
    # Cycles are collected whenever the collector runs: not during the call,
    # so that only the releases the call itself causes are logged. A cycle
    # the call cut loose (a changer deleting an entry that holds one) is
    # released by the next collection, so the log is copied before the
    # collector may run again: copied after, it held that release or not
    # depending on where the collector's allocation count happened to stand.
    gc.disable()
    try:
        try:
            with dumps_fast_paths(on):
                result = ("ok", dumps(value, **options))
        except Exception as error:  # compared, not judged
            # An argument mismatch quotes the object's repr, address included.
            result = (type(error).__name__, re.sub(" at 0x[0-9a-f]+>", ">", str(error)))
        # A copy: releases that come later append to the log.
        return result, list(log)
    finally:
        gc.enable()


OPTIONS = [dict(), dict(indefinite=False), dict(max_depth=3), dict(indefinite=False, max_depth=3)]


@given(recipes)
# The later changer deletes the entry whose list the first one grew: the
# list and its changer become a cycle only the collector releases.
@example(("dict", [(("plain", "a"), ("list", [("changer", "grow")])), (("plain", "b"), ("changer", "shrink")),
                   (("plain", "c"), ("plain", 1))]))
def test_shortcuts_write_what_the_general_matching_writes(recipe):
    for options in OPTIONS:
        assert outcome(recipe, True, options) == outcome(recipe, False, options)
