"""dumps over nested values built from the fuzz input, hostile objects
included: raising __index__ and __bool__, an __eq__ or __index__ that changes
the dict being written, a list whose __getitem__ shrinks it, containers that
contain themselves. The only outcomes are bytes that decode as one CBOR item,
or the documented exceptions; anything else (or a crash) is a finding.

Run with atheris: python dumps_fuzz.py [libFuzzer flags] [corpus dirs].
"""
import sys

import atheris
import cbor2

from kestrava_core import cbor


class Hostile(Exception):
    """Raised by the hostile objects; dumps must pass it on unchanged."""


# What dumps documents: argument mismatch (TypeError), nested mismatch,
# out-of-range integers, depth and dict-change errors (RuntimeError, of which
# RecursionError is one), a shrinking list (IndexError), and the objects' own
# errors unchanged.
EXPECTED = (TypeError, RuntimeError, IndexError, Hostile)


class RaisingIndex:
    def __index__(self):
        raise Hostile("__index__")


class RaisingBool:
    def __bool__(self):
        raise Hostile("__bool__")


class Index:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


class Truthy:
    def __init__(self, action):
        self.action = action

    def __bool__(self):
        self.action()
        return True


class MutatingInt(int):
    """The integer rule compares with ==, which runs this."""

    action = None

    def __eq__(self, other):
        if self.action:
            self.action()
        return int.__eq__(self, other)

    __hash__ = int.__hash__


class ShrinkingList(list):
    def __getitem__(self, i):
        if len(self) > 0:
            self.pop()
        return list.__getitem__(self, i)


class Builder:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.dicts = []  # dicts under construction, for the mutating objects

    @atheris.instrument_func
    def mutation(self):
        """An action that changes one of the dicts being built."""
        if not self.dicts:
            return None
        target = self.dicts[self.fdp.ConsumeIntInRange(0, len(self.dicts) - 1)]
        how = self.fdp.ConsumeIntInRange(0, 3)
        key = self.fdp.ConsumeIntInRange(0, 5)

        busy = False

        def act():
            # A key's __eq__ that pops from its own dict compares that key
            # again; without this guard that is Python recursing without end,
            # which under a raised recursion limit overflows the C stack in
            # the interpreter before RecursionError (not in dumps).
            nonlocal busy
            if busy:
                return
            busy = True
            try:
                change()
            finally:
                busy = False

        def change():
            if how == 0:
                target.clear()
            elif how == 1:
                target[("added", len(target))] = 1
            elif how == 2 and target:
                del target[next(iter(target))]
            else:
                target.pop(key, None)
                target[key] = key
        return act

    @atheris.instrument_func
    def scalar(self):
        f = self.fdp
        kind = f.ConsumeIntInRange(0, 15)
        if kind == 0:
            return None
        if kind == 1:
            return f.ConsumeBool()
        if kind == 2:
            return f.ConsumeInt(f.ConsumeIntInRange(1, 12))  # up to 96 bits, both signs
        if kind == 3:
            return f.ConsumeRegularFloat() if f.ConsumeBool() else f.ConsumeFloat()
        if kind == 4:
            return f.ConsumeUnicode(f.ConsumeIntInRange(0, 12))  # may hold lone surrogates
        if kind == 5:
            return f.ConsumeBytes(f.ConsumeIntInRange(0, 12))
        if kind == 6:
            return bytearray(f.ConsumeBytes(f.ConsumeIntInRange(0, 6)))
        if kind == 7:
            return RaisingIndex()
        if kind == 8:
            return RaisingBool()
        if kind == 9:
            return Index(f.ConsumeInt(9), self.mutation())
        if kind == 10:
            return Truthy(self.mutation() or (lambda: None))
        if kind == 11:
            v = MutatingInt(f.ConsumeInt(9))
            v.action = self.mutation()
            return v
        if kind == 12:
            return {1, 2}
        if kind == 13:
            return memoryview(b"x")
        return f.ConsumeIntInRange(-30, 30)

    @atheris.instrument_func
    def value(self, depth):
        f = self.fdp
        if depth > 6 or f.remaining_bytes() == 0:
            return self.scalar()
        kind = f.ConsumeIntInRange(0, 7)
        if kind < 3:
            return self.scalar()
        n = f.ConsumeIntInRange(0, 4)
        if kind == 3:
            return [self.value(depth + 1) for _ in range(n)]
        if kind == 4:
            return tuple(self.value(depth + 1) for _ in range(n))
        if kind == 5:
            d = {}
            self.dicts.append(d)
            for _ in range(n):
                key = self.value(depth + 1)
                try:
                    d[key] = self.value(depth + 1)
                except TypeError:  # unhashable key
                    d[repr(key)] = None
                except RecursionError:
                    # Inserting a key whose __eq__ changes this dict may
                    # still nest past the limit: nothing to write.
                    pass
            return d
        if kind == 6:
            return ShrinkingList(self.value(depth + 1) for _ in range(n + 1))
        # A container holding itself, somewhere inside.
        outer = [self.value(depth + 1) for _ in range(n)]
        if f.ConsumeBool():
            outer.append(outer)
        else:
            d = {"self": None}
            d["self"] = d
            outer.append(d)
        return outer


@atheris.instrument_func
def TestOneInput(data):
    b = Builder(data)
    # Mostly ordinary limits; now and then one far past the native nesting cap.
    sys.setrecursionlimit((300, 1000, 100000)[b.fdp.ConsumeIntInRange(0, 2)])
    value = b.value(0)
    indefinite = b.fdp.ConsumeBool()
    max_depth = b.fdp.ConsumeIntInRange(0, 9)
    try:
        out = cbor.dumps(value, indefinite=indefinite, max_depth=max_depth)
    except EXPECTED:
        return
    assert type(out) is bytes, type(out)
    # One complete, well-formed item (text from a bytearray may not be UTF-8).
    try:
        cbor2.loads(out)
    except cbor2.CBORDecodeError as e:
        if not isinstance(e.__cause__, UnicodeDecodeError) and "unhashable" not in str(e):
            raise


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
