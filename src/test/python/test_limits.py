"""Failures of the output itself: memory running out while dumps writes,
and values too long for the core's 32-bit lengths."""
import os
import platform
import subprocess
import sys
import textwrap

import pytest

BIG = os.environ.get("KESTRAVA_BIG_TESTS") == "1"

MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    from kestrava_core.cbor import dumps
    value = eval(sys.argv[1])
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[0])
    used = pages * resource.getpagesize()
    # By default room for a 100 MB result, not for 128 MB of storage besides it.
    room = int(sys.argv[2]) if len(sys.argv) > 2 else 112
    resource.setrlimit(resource.RLIMIT_AS, (used + (room << 20), resource.RLIM_INFINITY))
    try:
        out = dumps(value)
    except MemoryError:
        print("MemoryError")
    else:
        print("ok", len(out))
""")


def run_with_little_memory(value, room_mb=112):
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, value, str(room_mb)], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_memory_exhausted_while_writing_raises_memory_error():
    # 100 MB of short strings: all of it goes through the growing output.
    assert run_with_little_memory("[1, [b'x' * 1000] * (100 << 10)]") == "MemoryError"


@pytest.mark.skipif(platform.python_implementation() != "CPython" or not sys.platform.startswith("linux"),
                    reason="needs /proc and RLIMIT_AS; PyPy copies a result once more on its way out")
def test_a_long_string_is_copied_into_the_result_only():
    # Long strings are not copied into the output on the way: a 100 MB one
    # needs no more memory than the result.
    assert run_with_little_memory("[1, b'x' * (100 << 20)]") == "ok %d" % (1 + 1 + 5 + (100 << 20) + 1)


@pytest.mark.skipif(platform.python_implementation() != "CPython" or not sys.platform.startswith("linux"),
                    reason="needs /proc and RLIMIT_AS; PyPy copies a result once more on its way out")
def test_a_large_output_holds_at_most_twice_its_length():
    # 40 MiB of short strings go through the output, which has 64 MiB of
    # room by then; cut to length before the result is made, it fits in
    # 96 MB with the result (room and result would need 104). With 70 MB
    # the room fits and the result does not: still a MemoryError.
    value = "[1, [b'x' * 1000] * (40 << 10)]"
    assert run_with_little_memory(value, 96) == "ok %d" % (5 + (1003 << 10) * 40)
    assert run_with_little_memory(value, 70) == "MemoryError"
    from kestrava_core.cbor import dumps
    assert dumps(eval(value), indefinite=False) == b"\x82\x01\x99\xa0\x00" + (b"\x59\x03\xe8" + b"x" * 1000) * (40 << 10)


@pytest.mark.skipif(not BIG, reason="needs about 4.5 GB of memory; set KESTRAVA_BIG_TESTS=1")
def test_values_longer_than_32_bit_lengths():
    from kestrava_core.cbor import dumps
    from kestrava_core.delta import PythonInBuf
    big = b"\0" * (2**32 + 1)
    with pytest.raises(OverflowError):
        dumps(big)
    with pytest.raises(OverflowError):
        PythonInBuf(big)
    # (Not diff(big, ...): its TypeError message would quote the argument's
    # repr, four times its size.)
