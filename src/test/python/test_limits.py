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
    # Room for a 100 MB result, not for 128 MB of storage besides it.
    resource.setrlimit(resource.RLIMIT_AS, (used + (112 << 20), resource.RLIM_INFINITY))
    try:
        out = dumps(value)
    except MemoryError:
        print("MemoryError")
    else:
        print("ok", len(out))
""")


def run_with_little_memory(value):
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, value], capture_output=True, text=True, timeout=120)
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
