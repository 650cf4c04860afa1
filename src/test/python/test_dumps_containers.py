"""dumps: arrays, maps, the depth limit, runaway nesting and containers
changed by Python code while they are written."""
import collections
import gc
import platform
import subprocess
import sys
import textwrap
import threading
import time

import cbor2

import pytest

from kestrava_core.cbor import dumps

# Every test here runs with the shortcuts for exact built-in types and without.
pytestmark = pytest.mark.usefixtures("dumps_paths")

CPYTHON = platform.python_implementation() == "CPython"
EVERY_CONFIGURATION = [dict(), dict(max_depth=10**6), dict(indefinite=False), dict(indefinite=False, max_depth=10**6)]


def h(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize("value, indefinite, definite", [
    ([], "9fff", "80"),
    ((), "9fff", "80"),
    ({}, "bfff", "a0"),
    ([1, [2]], "9f019f02ffff", "82018102"),
    ({"a": 1}, "bf616101ff", "a1616101"),
    ({1: None, (1, 2): b"x"}, "bf01f69f0102ff4178ff", "a201f682010241 78".replace(" ", "")),
    ({"k": [1, -2, 2.5, None, True, b"\x00", "\u00e9"]},
     "bf616b9f0121f94100f6f5410062c3a9ffff", "a1616b87012 1f94100f6f5410062c3a9".replace(" ", "")),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "bf616201616102ff", "a2616201616102"),
    (collections.namedtuple("P", "x y")(1, 2), "9f0102ff", "820102"),
])
def test_container_bytes(value, indefinite, definite):
    assert dumps(value) == h(indefinite)
    assert dumps(value, indefinite=False) == h(definite)


def test_definite_heads_carry_counts():
    assert dumps([0] * 24, indefinite=False)[:3] == h("981800")
    assert dumps(list(range(300)), indefinite=False)[:3] == h("99012c")
    big = {i: None for i in range(70000)}
    assert dumps(big, indefinite=False)[:5] == h("ba00011170")


@pytest.mark.parametrize("value", [[1, 2], [[]], {"a": {}}, (), {}, 5, "x", [[], {}, ()]])
def test_depth_one_allows_scalars_and_empty_containers(value):
    dumps(value, max_depth=1)
    dumps(value, indefinite=False, max_depth=1)


@pytest.mark.parametrize("value", [[[1]], {"a": [1]}, {(1,): 2}, [[1], {3}], [{}, {"a": 1}]])
def test_depth_one_refuses_nested_elements(value):
    for indefinite in (True, False):
        with pytest.raises(RuntimeError) as info:
            dumps(value, indefinite=indefinite, max_depth=1)
        assert str(info.value) == "Exceeded recursion limit:1"


def test_depth_limit_counts_levels():
    assert dumps([[1]], max_depth=2) == h("9f9f01ffff")
    assert dumps([[[]]], max_depth=2) == h("9f9f9fffffff")
    with pytest.raises(RuntimeError) as info:
        dumps([[[1]]], max_depth=2)
    assert str(info.value) == "Exceeded recursion limit:2"
    nested = 1
    for _ in range(50):
        nested = [nested]
    dumps(nested, max_depth=50)
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:49$"):
        dumps(nested, max_depth=49)


def test_depth_error_comes_before_a_nested_conversion_error():
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:1$"):
        dumps([[1], {3}], max_depth=1)
    with pytest.raises(RuntimeError) as info:
        dumps([1, {2, 3}])
    assert "recursion" not in str(info.value)


def test_ordinary_nesting_is_written():
    depth = 300
    nested = []
    for _ in range(depth - 1):
        nested = [nested]
    assert dumps(nested) == h("9f" * depth + "ff" * depth)
    assert dumps(nested, indefinite=False) == h("81" * (depth - 1) + "80")
    mapping = {}
    for _ in range(depth - 1):
        mapping = {"k": mapping}
    assert dumps(mapping, indefinite=False, max_depth=depth) == h("a1616b" * (depth - 1) + "a0")


@pytest.mark.parametrize("options", EVERY_CONFIGURATION)
def test_self_containing_values_raise_recursion_error(options):
    looped = [1]
    looped.append(looped)
    with pytest.raises(RecursionError):
        dumps(looped, **options)
    a, b = {}, {}
    a["b"] = [b]
    b["a"] = (a,)
    with pytest.raises(RecursionError):
        dumps(a, **options)


@pytest.mark.parametrize("options", EVERY_CONFIGURATION)
def test_very_deep_data_raises_recursion_error(options):
    deep = []
    for _ in range(sys.getrecursionlimit() * 3):
        deep = [deep]
    with pytest.raises(RecursionError):
        dumps(deep, **options)
    # The module is still usable afterwards.
    assert dumps([[1]], **options) in (h("9f9f01ffff"), h("818101"))


def test_raised_recursion_limit_cannot_blow_the_native_stack():
    # A subprocess, since the failure this guards against is a crash.
    code = textwrap.dedent("""
        import sys
        from kestrava_core import cbor
        sys.setrecursionlimit(1000000)
        looped = {"k": None}
        looped["k"] = [looped]
        for options in ({}, {"indefinite": False}, {"max_depth": 10**9}):
            try:
                cbor.dumps(looped, **options)
                raise SystemExit("no error")
            except RecursionError:
                pass
        deep = []
        for _ in range(5000):
            deep = [deep]
        assert cbor.dumps(deep) == b"\\x9f" * 5001 + b"\\xff" * 5001
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout == "ok\n", (out.returncode, out.stderr[-2000:])


class Mutator:
    """An object whose truth test (run while it is matched as a dict key or
    value) changes a dictionary."""

    def __init__(self, action):
        self.action = action

    def __bool__(self):
        self.action()
        return True

    def __hash__(self):
        return id(self)


@pytest.mark.parametrize("options", EVERY_CONFIGURATION)
def test_dict_growing_while_written(options):
    d = {}
    d[Mutator(lambda: d.__setitem__("extra", 1))] = 1
    d["b"] = 2
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        dumps(d, **options)


@pytest.mark.parametrize("options", EVERY_CONFIGURATION)
def test_dict_shrinking_while_written(options):
    d = {"a": 1}
    d["m"] = Mutator(lambda: d.pop("a"))
    d["z"] = 3
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        dumps(d, **options)


@pytest.mark.parametrize("options", EVERY_CONFIGURATION)
def test_dict_delete_and_insert_of_same_size(options):
    # Delete an entry already written and insert a new one: the size stays,
    # but the walk could now yield one more entry than announced.
    d = {"a": 1}

    def swap():
        if "a" in d:
            del d["a"]
            d["c"] = 3

    d["m"] = Mutator(swap)
    if CPYTHON:
        with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
            dumps(d, **options)
        return
    # Where the walk goes over the entries as they were, the output is the
    # original two entries; never more than announced.
    try:
        out = dumps(d, **options)
    except RuntimeError as error:
        assert "changed" in str(error)
    else:
        assert out[:1] in (b"\xa2", b"\xbf")
        assert len(cbor2.loads(out)) == 2


def test_entry_deleted_while_its_key_is_matched():
    # The key deletes its own entry while it is matched. The value must stay
    # alive until it has been written: its truth test (run when it is
    # matched) has to come before its release.
    events = []
    d = {}

    class Value:
        def __bool__(self):
            events.append("matched")
            return True

        def __del__(self):
            events.append("released")

    holder = []
    key = Mutator(lambda: d.pop(holder.pop(), None))
    holder.append(key)
    d[key] = Value()
    del key
    with pytest.raises(RuntimeError, match="changed size"):
        dumps(d)
    gc.collect()
    assert events[0] == "matched"


def test_list_shrinking_while_written():
    items = []
    items.extend([Mutator(lambda: items.clear()), 1, 2])
    with pytest.raises(IndexError):
        dumps(items)
    items = []
    items.extend([Mutator(lambda: items.clear()), 1, 2])
    with pytest.raises(IndexError):
        dumps(items, indefinite=False)


def test_list_growing_while_written_keeps_the_announced_count():
    items = []
    items.extend([Mutator(lambda: items.append(9)), 1])
    assert dumps(items, indefinite=False) == h("82f501")


@pytest.mark.parametrize("inner", ["list", "tuple", "dict"])
@pytest.mark.parametrize("parent", ["list", "dict"])
def test_container_dropped_by_its_parent_while_walked(parent, inner):
    # An element of the inner container replaces the inner container in its
    # parent (the size stays, so no error), dropping the only other reference
    # to it, then makes containers of the same shape, which would take its
    # memory were it freed: the walk must finish the inner container as it was.
    def make(first, second="after"):
        return {"list": lambda: [first, second], "tuple": lambda: (first, second),
                "dict": lambda: {"m": first, "a": second}}[inner]()

    outer = [None, 5] if parent == "list" else {"i": None, "n": 5}
    slot = 0 if parent == "list" else "i"
    want = cbor2.dumps([make(True), 5] if parent == "list" else {"i": make(True), "n": 5})
    others = []

    def replace():
        outer[slot] = None
        others.extend(make(None, None) for _ in range(20))

    outer[slot] = make(Mutator(replace))
    assert dumps(outer, indefinite=False) == want
    assert outer[slot] is None


def test_calls_made_while_another_writes_get_output_of_their_own():
    # A call writes into memory the last call left. One made from Python
    # code that a call runs, or by another thread while a call waits for the
    # interpreter (sleep lets it go), must not write into the same.
    big = ["x" * 50] * 3000

    def nested():
        assert dumps(big, indefinite=False) == cbor2.dumps(big)

    for _ in range(2):
        value = [1, Mutator(nested), "tail" * 10]
        assert dumps(value, indefinite=False) == cbor2.dumps([1, True, "tail" * 10])

    failures = []

    def worker(n):
        for i in range(60):
            value = [n] * (i * 97 % 1500) + [Mutator(lambda: time.sleep(0)), "t%d" % n]
            if dumps(value, indefinite=False) != cbor2.dumps(value[:-2] + [True, "t%d" % n]):
                failures.append((n, i))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


class LoudList(list):
    def __getitem__(self, index):
        value = super().__getitem__(index)
        return value * 10 if isinstance(value, int) else value


class FailingTuple(tuple):
    def __getitem__(self, index):
        raise KeyError("no items here")


def test_sequence_subclasses_are_read_through_item_access():
    assert dumps(LoudList([1, 2]), indefinite=False) == h("820a14")
    with pytest.raises(KeyError):
        dumps(FailingTuple((1, 2)))
    assert dumps(FailingTuple(())) == h("9fff")
