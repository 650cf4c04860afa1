"""diff / patch and the buffer bridging classes PythonInBuf / PythonOutBuf."""
import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import weakref

import pytest
from hypothesis import given, strategies as st

from kestrava_core import delta
from kestrava_core.delta import PythonInBuf, PythonOutBuf, diff, patch

OLD = b"the quick brown fox jumps over the lazy dog"
NEW = b"the quick brown cat jumps over the lazy dog"
FOX_TO_CAT = bytes.fromhex("0010 43636174 131818")


class BytesSub(bytes):
    pass


def test_worked_example():
    d = diff(OLD, NEW)
    assert type(d) is PythonOutBuf
    assert bytes(d) == FOX_TO_CAT
    assert bytes(patch(OLD, FOX_TO_CAT)) == NEW


def test_in_buffers_and_bytes_are_interchangeable():
    expected = bytes(diff(OLD, NEW))
    assert bytes(diff(PythonInBuf(OLD), PythonInBuf(NEW))) == expected
    assert bytes(diff(PythonInBuf(OLD), NEW)) == expected
    assert bytes(diff(OLD, PythonInBuf(NEW))) == expected
    assert bytes(diff(BytesSub(OLD), BytesSub(NEW))) == expected
    assert bytes(patch(PythonInBuf(OLD), PythonInBuf(expected))) == NEW


def test_keywords():
    assert bytes(diff(old_value=OLD, new_value=NEW)) == FOX_TO_CAT
    assert bytes(diff(OLD, new_value=NEW)) == FOX_TO_CAT
    assert bytes(patch(old_value=OLD, diff=FOX_TO_CAT)) == NEW
    with pytest.raises(TypeError):
        diff(old=OLD, new=NEW)
    with pytest.raises(TypeError):
        patch(old_value=OLD, delta=FOX_TO_CAT)
    with pytest.raises(TypeError):
        patch(OLD, FOX_TO_CAT, diff=FOX_TO_CAT)


@pytest.mark.parametrize("bad", [bytearray(b"abc"), memoryview(b"abc"), "abc", None, 3])
def test_arguments_that_are_not_bytes_are_refused(bad):
    with pytest.raises(TypeError) as info:
        diff(bad, NEW)
    assert "diff(): incompatible function arguments" in str(info.value)
    assert "(old_value: kestrava_core.delta.PythonInBuf, new_value: kestrava_core.delta.PythonInBuf)" \
        in str(info.value)
    with pytest.raises(TypeError):
        patch(OLD, bad)


def test_argument_count():
    with pytest.raises(TypeError):
        diff(OLD)
    with pytest.raises(TypeError):
        diff(OLD, NEW, NEW)
    with pytest.raises(TypeError):
        patch()


def test_out_buffer_is_not_an_argument_until_copied():
    d = diff(OLD, NEW)
    with pytest.raises(TypeError):
        patch(OLD, d)
    assert bytes(patch(OLD, bytes(d))) == NEW


def test_in_buffer_constructor():
    PythonInBuf(b"")
    PythonInBuf(BytesSub(b"x"))
    for bad in (bytearray(b"x"), memoryview(b"x"), "x"):
        with pytest.raises(TypeError):
            PythonInBuf(bad)
    with pytest.raises(TypeError):
        PythonInBuf()
    with pytest.raises(TypeError):
        PythonInBuf(b"a", b"b")
    with pytest.raises(TypeError):
        PythonInBuf(data=b"a")


def test_in_buffer_keeps_its_bytes_alive():
    source = bytes(range(256)) * 40
    held = PythonInBuf(source)
    expected = bytes(patch(source, bytes.fromhex("00190a00")))  # copy (0, 2560)
    del source
    gc.collect()
    assert bytes(patch(held, bytes.fromhex("00190a00"))) == expected
    assert expected == bytes(range(256)) * 10


def test_classes_have_no_length_and_no_other_members():
    with pytest.raises(TypeError):
        len(diff(OLD, NEW))
    with pytest.raises(TypeError):
        len(PythonInBuf(OLD))
    with pytest.raises(TypeError):
        memoryview(PythonInBuf(OLD))
    with pytest.raises(TypeError) as info:
        PythonOutBuf()
    assert str(info.value) == "kestrava_core.delta.PythonOutBuf: No constructor defined!"


def test_out_buffer_export():
    out = patch(OLD, bytes.fromhex("001818"))  # copy of the first 24 bytes
    view = memoryview(out)
    assert view.format == "b"
    assert view.itemsize == 1
    assert view.ndim == 1
    assert view.shape == (24,)
    assert view.strides == (1,)
    assert not view.readonly
    assert view.tobytes() == OLD[:24]
    assert bytes(out) == OLD[:24]
    # Writes through one view show in later exports: the bytes are shared.
    view[0] = ord("T")
    assert bytes(out)[:1] == b"T"
    assert memoryview(out).tobytes()[:4] == b"The "
    view.release()


def test_empty_result_exports_zero_bytes():
    out = patch(b"", b"")
    assert bytes(out) == b""
    view = memoryview(out)
    assert view.shape == (0,) and view.nbytes == 0
    view.release()


def test_view_keeps_the_result_alive():
    out = patch(OLD, bytes.fromhex("00182b"))
    ref = weakref.ref(out)
    view = memoryview(out)
    del out
    gc.collect()
    assert ref() is not None
    assert view.tobytes() == OLD
    view.release()
    del view
    for _ in range(3):
        gc.collect()
    # PyPy frees it too once collected: the export held the only reference.
    assert ref() is None


DROPPED_RESULTS_SCRIPT = textwrap.dedent("""
    import os
    import sys
    from kestrava_core.delta import diff, patch

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    size = 8 << 20
    old = os.urandom(size)
    new = old[:1000] + b"xyz" + old[1000:]
    d = bytes(diff(old, new))
    start = peak = rss()
    for _ in range(int(sys.argv[1])):
        out = patch(old, d)
        assert memoryview(out).nbytes == len(new)
        del out
        peak = max(peak, rss())
    print((peak - start) / size)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("nursery, rounds, most_held", [("4MB", 100, 25), (None, 200, 60)])
def test_dropped_results_are_freed_in_a_loop(nursery, rounds, most_held):
    # Results of 8 MB, each dropped at once. Where the collector, not a
    # reference count, frees them (PyPy), it must learn of the native memory
    # they hold, or a 32-bit process runs out of address space. With an
    # ordinary nursery the reported pressure suffices; PyPy sizes the
    # nursery from the reported CPU cache, which some virtual machines
    # report as hundreds of MB, and then the module's own bound on results
    # piling up between collections (256 MB) must hold.
    env = dict(os.environ)
    env.pop("PYPY_GC_NURSERY", None)
    if nursery:
        env["PYPY_GC_NURSERY"] = nursery
    out = subprocess.run([sys.executable, "-c", DROPPED_RESULTS_SCRIPT, str(rounds)], env=env,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert float(out.stdout) < most_held  # values' worth of memory held at the peak


EXPORT_GROWTH_SCRIPT = textwrap.dedent("""
    import ctypes
    import gc
    from kestrava_core.delta import patch

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                                         "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    # A fixed threshold (M_MMAP_THRESHOLD) keeps the collector's large
    # arenas out of the heap, so the heap in use counts small blocks only.
    libc.mallopt(-3, 128 * 1024)

    out = patch(b"the quick brown fox jumps over the lazy dog", bytes.fromhex("001818"))
    failed = patch(b"", b"\\x18")

    def refused(out):
        try:
            bytes(out)
        except BufferError:
            pass

    readers = {"bytes": bytes, "memoryview": memoryview, "released": lambda out: memoryview(out).release(),
               "bytearray": bytearray, "failed": lambda _: refused(failed)}
    exports = 20000
    for name, reader in readers.items():
        growth = []
        for _ in range(4):  # the first round warms up
            gc.collect()
            start = libc.mallinfo2().uordblks
            for _ in range(exports):
                reader(out)
            gc.collect()
            growth.append((libc.mallinfo2().uordblks - start) / exports)
        print(name, min(growth[1:]))
""")


@pytest.mark.skipif(not hasattr(ctypes.CDLL(None), "mallinfo2"), reason="needs glibc's mallinfo2")
def test_exports_leave_no_native_memory_behind():
    # Every export of a result used to leave a small native record behind
    # under PyPy, whose release hook gets a fresh view instead of the one
    # filled in: over 200 bytes an export on x86_64, over 100 on i386. The
    # heap in use after many exports of one result shows it exactly, where
    # resident memory would be blurred by the collector.
    out = subprocess.run([sys.executable, "-c", EXPORT_GROWTH_SCRIPT], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    growth = dict((name, float(value)) for name, value in (line.split() for line in out.stdout.splitlines()))
    assert set(growth) == {"bytes", "memoryview", "released", "bytearray", "failed"}
    assert all(per_export < 16 for per_export in growth.values()), growth


@pytest.mark.parametrize("bad_delta", [b"\x18", b"\x05\x05", b"\x43ab", b"\x01\xff\xff\xff"])
def test_failed_patch_result_refuses_export(bad_delta):
    out = patch(b"abc", bad_delta)
    assert type(out) is PythonOutBuf
    for reader in (bytes, memoryview, bytearray):
        with pytest.raises(BufferError) as info:
            reader(out)
        assert str(info.value) == "PythonOutBuf holds no data: the diff or patch that produced it failed"
    del out  # destroying a result without a buffer releases nothing


def test_delta_shapes():
    # Equal values of two bytes or more give the no-change delta, which
    # patches back to the old value; shorter ones, and values that share
    # nothing, give the replacement delta (the new value as a byte string).
    assert bytes(diff(b"abc", b"abc")) == b"\xf6"
    assert bytes(patch(b"abc", b"\xf6")) == b"abc"
    assert bytes(patch(b"", b"\xf6")) == b""
    assert bytes(diff(b"a", b"a")) == b"\x41a"
    assert bytes(diff(b"", b"")) == b"\x40"
    unrelated = bytes(diff(b"\x00" * 100, bytes(range(1, 101))))
    assert unrelated == b"\x58\x64" + bytes(range(1, 101))
    assert bytes(patch(b"\x00" * 100, unrelated)) == bytes(range(1, 101))


def holds_no_data(out):
    with pytest.raises(BufferError, match="holds no data"):
        bytes(out)
    return True


def test_max_size_bounds_the_patched_value():
    # The worked example: copy 16, insert 3, copy 24 (43 bytes).
    assert bytes(patch(OLD, FOX_TO_CAT, max_size=43)) == NEW
    assert holds_no_data(patch(OLD, FOX_TO_CAT, max_size=42))
    for crossed_by_first_copy_insert_last_copy in (15, 18, 19):
        assert holds_no_data(patch(OLD, FOX_TO_CAT, max_size=crossed_by_first_copy_insert_last_copy))
    # Default and None: no bound; a huge bound changes nothing.
    assert bytes(patch(OLD, FOX_TO_CAT)) == bytes(patch(OLD, FOX_TO_CAT, max_size=None)) == NEW
    assert bytes(patch(OLD, FOX_TO_CAT, max_size=2**64 - 1)) == NEW
    assert bytes(patch(b"abc", b"\xf6", max_size=3)) == b"abc"
    assert holds_no_data(patch(b"abc", b"\xf6", max_size=2))
    assert bytes(patch(b"abc", b"\x80", max_size=0)) == b""
    # A malformed delta fails whatever the bound.
    assert holds_no_data(patch(b"abc", b"\x00", max_size=100))


def test_max_size_stops_a_huge_expansion():
    # 5,000 copies of a 1 MiB value would be about 5 GiB.
    old = bytes(1 << 20)
    bomb = b"\x00\x1a\x00\x10\x00\x00" * 5000
    assert holds_no_data(patch(old, bomb, max_size=10 << 20))
    assert len(bytes(patch(old, bomb[:60], max_size=10 << 20))) == 10 << 20


@pytest.mark.parametrize("bad", [-1, 2**64, 1.5, "10", b"10"])
def test_max_size_refuses_what_is_not_a_size(bad):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        patch(OLD, FOX_TO_CAT, max_size=bad)


def test_max_size_is_keyword_only():
    with pytest.raises(TypeError):
        patch(OLD, FOX_TO_CAT, 43)


chunks = st.binary(min_size=0, max_size=64)


@st.composite
def edited_pairs(draw):
    old = draw(st.binary(max_size=2000))
    new = bytearray(old)
    for _ in range(draw(st.integers(0, 6))):
        at = draw(st.integers(0, len(new)))
        cut = draw(st.integers(0, 20))
        new[at:at + cut] = draw(chunks)
    return old, bytes(new)


@given(edited_pairs())
def test_patch_of_diff_restores_edited_values(pair):
    old, new = pair
    d = bytes(diff(old, new))
    # Never longer than the replacement delta (new value plus its head).
    assert len(d) <= len(new) + 5
    assert bytes(patch(old, d)) == new


@given(st.binary(max_size=600), st.binary(max_size=600))
def test_patch_of_diff_restores_arbitrary_values(old, new):
    assert bytes(patch(old, bytes(diff(old, new)))) == new


def test_diff_indexed_is_bound_like_diff():
    from kestrava_core.delta import diff_indexed
    assert bytes(diff_indexed(OLD, NEW)) == FOX_TO_CAT
    assert bytes(diff_indexed(old_value=PythonInBuf(OLD), new_value=NEW)) == FOX_TO_CAT
    assert type(diff_indexed(OLD, NEW)) is PythonOutBuf
    with pytest.raises(TypeError) as info:
        diff_indexed(bytearray(OLD), NEW)
    assert "diff_indexed(): incompatible function arguments" in str(info.value)
    assert "(old_value: kestrava_core.delta.PythonInBuf, new_value: kestrava_core.delta.PythonInBuf)" \
        in str(info.value)
    for bad_call in (lambda: diff_indexed(OLD), lambda: diff_indexed(OLD, NEW, NEW),
                     lambda: diff_indexed(old=OLD, new=NEW)):
        with pytest.raises(TypeError):
            bad_call()


def test_diff_indexed_shapes():
    assert bytes(delta.diff_indexed(b"abc", b"abc")) == b"\xf6"
    assert bytes(delta.diff_indexed(b"a", b"a")) == b"\x41a"
    assert bytes(delta.diff_indexed(b"", b"")) == b"\x40"
    assert bytes(delta.diff_indexed(b"abc", b"abcd")) == b"\x44abcd"
    unrelated = bytes(range(1, 101))
    assert bytes(delta.diff_indexed(b"\x00" * 100, unrelated)) == b"\x58\x64" + unrelated


def test_diff_indexed_finds_a_moved_block():
    old = os.urandom(1 << 20)
    new = old[:100000] + old[300000:800000] + old[100000:300000] + old[800000:]
    d = bytes(delta.diff_indexed(old, new))
    assert len(d) < 64
    assert bytes(patch(old, d)) == new


@given(edited_pairs())
def test_patch_of_diff_indexed_restores_edited_values(pair):
    old, new = pair
    d = bytes(delta.diff_indexed(old, new))
    assert len(d) <= len(new) + 5
    assert d == b"\xf6" or len(d) < len(new) or d[-len(new):] == new or not new
    assert bytes(patch(old, d)) == (old if d == b"\xf6" else new)


@given(st.binary(max_size=600), st.binary(max_size=600))
def test_patch_of_diff_indexed_restores_arbitrary_values(old, new):
    d = bytes(delta.diff_indexed(old, new))
    assert bytes(patch(old, d)) == (old if d == b"\xf6" else new)
