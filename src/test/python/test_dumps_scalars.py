"""dumps: matching of scalars to value kinds and their exact encodings."""
import decimal
import enum
import fractions

import pytest

from kestrava_core.cbor import dumps

# Every test here runs with the shortcuts for exact built-in types and without.
pytestmark = pytest.mark.usefixtures("dumps_paths")

try:
    import numpy
except ImportError:  # the suite also runs where numpy has no build
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")

OUT_OF_RANGE = "dumps received an integer out of range for both int64_t and uint64_t"


def h(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize("value, expected", [
    (True, "f5"), (False, "f4"), (None, "f6"),
    (0, "00"), (1, "01"), (23, "17"), (24, "1818"), (255, "18ff"), (256, "190100"),
    (65535, "19ffff"), (65536, "1a00010000"), (2**32 - 1, "1affffffff"), (2**32, "1b0000000100000000"),
    (2**63, "1b8000000000000000"), (2**64 - 1, "1bffffffffffffffff"),
    (-1, "20"), (-24, "37"), (-25, "3818"), (-500, "3901f3"), (-2**63, "3b7fffffffffffffff"),
    # Where CPython's ints go from one 30-bit digit to two, and to three.
    (2**30 - 1, "1a3fffffff"), (2**30, "1a40000000"), (2**60 - 1, "1b0fffffffffffffff"),
    (2**60, "1b1000000000000000"), (-2**30, "3a3fffffff"), (-2**30 - 1, "3a40000000"),
    (-2**60, "3b0fffffffffffffff"), (-2**60 - 1, "3b1000000000000000"),
    ("", "60"), ("a", "6161"), ("\u00e9", "62c3a9"), ("\U0001f600", "64f09f9880"),
    (b"", "40"), (b"ab", "426162"), (b"\x00" * 24, "5818" + "00" * 24),
    (bytearray(b"ab"), "626162"), (bytearray(b"\xff"), "61ff"), (bytearray(), "60"),
    (1.5, "f93e00"), (0.0, "f90000"), (-0.0, "f98000"), (65504.0, "f97bff"), (100000.0, "fa47c35000"),
    (1.1, "fb3ff199999999999a"), (float("inf"), "f97c00"), (float("-inf"), "f9fc00"), (float("nan"), "f97e00"),
    (2.0**-24, "fa33800000"),
])
def test_scalar_bytes(value, expected):
    assert dumps(value) == h(expected)
    # The options never change how a scalar is written.
    assert dumps(value, indefinite=False, max_depth=1) == h(expected)


@pytest.mark.parametrize("value, digits", [
    (2**64, "18446744073709551616"),
    (-2**63 - 1, "-9223372036854775809"),
    (-2**64, "-18446744073709551616"),
    (10**50, "1" + "0" * 39),
    (-10**50, "-1" + "0" * 38),
])
def test_integers_out_of_range(value, digits):
    with pytest.raises(RuntimeError) as info:
        dumps(value)
    assert str(info.value) == OUT_OF_RANGE + digits
    with pytest.raises(RuntimeError) as info:
        dumps([1, value], indefinite=False)
    assert str(info.value) == OUT_OF_RANGE + digits


def test_huge_integer_whose_text_cannot_be_made():
    # str() of an int with more than 4300 digits raises ValueError; the
    # message then says so instead of failing in turn.
    with pytest.raises(RuntimeError) as info:
        dumps(10**5000)
    message = str(info.value)
    assert message.startswith(OUT_OF_RANGE + "failed with ")
    assert len(message.encode()) <= len(OUT_OF_RANGE) + 40


class Color(enum.IntEnum):
    RED = 7
    BIG = 2**70


class BadText(int):
    def __str__(self):
        raise ValueError("no text for this number")


class AlwaysUnequal(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class TextAccents(int):
    def __str__(self):
        return "\u00e9" * 30  # 60 bytes of two-byte characters


def test_int_subclasses():
    assert dumps(Color.RED) == h("07")
    assert dumps(BadText(-3)) == h("22")
    with pytest.raises(RuntimeError) as info:
        dumps(Color.BIG)
    assert str(info.value) == OUT_OF_RANGE + str(Color.BIG)[:40]
    # The rebuilt int is compared with the original by ==: a subclass that
    # is never equal is out of range whatever its value.
    with pytest.raises(RuntimeError) as info:
        dumps(AlwaysUnequal(5))
    assert str(info.value) == OUT_OF_RANGE + "5"


def test_describe_object_failures_and_utf8_cut():
    with pytest.raises(RuntimeError) as info:
        dumps(BadText(2**64))
    tail = str(info.value)[len(OUT_OF_RANGE):]
    assert tail.startswith("failed with ")
    assert "no text" in tail or "ValueError" in tail
    assert len(tail.encode()) <= 40
    with pytest.raises(RuntimeError) as info:
        dumps(TextAccents(2**64))
    tail = str(info.value)[len(OUT_OF_RANGE):]
    # 40 bytes would split the 21st character: the cut moves back to 20.
    assert tail == "\u00e9" * 20


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Truthy:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class BrokenTruth:
    def __bool__(self):
        raise ValueError("no truth")


def test_index_objects_and_truth_values():
    assert dumps(Indexable(5)) == h("05")
    assert dumps(Indexable(-5)) == h("24")
    assert dumps(Indexable(2**64 - 1)) == h("1bffffffffffffffff")
    assert dumps(Indexable(-2**63)) == h("3b7fffffffffffffff")
    assert dumps(decimal.Decimal("2.5")) == h("f5")
    assert dumps(decimal.Decimal(0)) == h("f4")
    assert dumps(fractions.Fraction(0, 3)) == h("f4")
    assert dumps(fractions.Fraction(1, 3)) == h("f5")
    assert dumps(complex(0, 1)) == h("f5")
    assert dumps(Truthy(False)) == h("f4")
    assert dumps([Truthy(True)]) == h("9ff5ff")


def test_values_that_match_nothing():
    for value in ({1, 2}, frozenset(), memoryview(b"x"), object(), Indexable(2**64), BrokenTruth()):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            dumps(value)
        with pytest.raises(RuntimeError) as info:
            dumps([value])
        assert type(info.value) is RuntimeError
        with pytest.raises(RuntimeError):
            dumps({"k": value}, indefinite=False)


def test_text_without_utf8_form():
    with pytest.raises(RuntimeError):
        dumps("\ud800")
    with pytest.raises(RuntimeError):
        dumps(["ok", "a\udfffb"])


def test_options_are_converted_and_checked():
    assert dumps([1], indefinite=None) == h("8101")
    assert dumps([1], indefinite=0) == h("8101")
    assert dumps([1], indefinite=Truthy(False)) == h("8101")
    assert dumps([1]) == h("9f01ff")
    assert dumps(1, max_depth=2**32 - 1) == h("01")
    for bad in (-1, 2**32, 1.0, "1"):
        with pytest.raises(TypeError):
            dumps(1, max_depth=bad)
    with pytest.raises(TypeError):
        dumps(1, indefinite=object())
    assert dumps(value=[1], indefinite=False, max_depth=3) == h("8101")
    assert dumps([1], False, 3) == h("8101")
    with pytest.raises(TypeError):
        dumps()
    with pytest.raises(TypeError):
        dumps(1, True, 0, 0)
    with pytest.raises(TypeError):
        dumps(1, depth=3)


class Shrinker:
    """Truth test that empties a bytearray, as Python code run while the
    `indefinite` argument is converted could."""

    def __init__(self, target):
        self.target = target

    def __bool__(self):
        del self.target[:]
        self.target.extend(b"!")
        return True


def test_bytearray_resized_while_arguments_are_converted():
    data = bytearray(b"x" * 1000)
    out = dumps(data, indefinite=Shrinker(data))
    assert out == h("7903e8") + b"x" * 1000


@needs_numpy
def test_numpy_scalars():
    assert dumps(numpy.uint64(2**63)) == h("1b8000000000000000")
    assert dumps(numpy.uint64(2**64 - 1)) == h("1bffffffffffffffff")
    assert dumps(numpy.int64(-5)) == h("24")
    assert dumps(numpy.int8(100)) == h("1864")
    assert dumps(numpy.bool_(True)) == h("f5")
    assert dumps(numpy.bool_(False)) == h("f4")
    assert dumps(numpy.float64(1.5)) == h("f93e00")
    assert dumps([numpy.uint32(7), numpy.int16(-1)], indefinite=False) == h("820720")
