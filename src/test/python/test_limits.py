"""Failures of the output itself: memory running out while dumps writes,
and values too long for the core's 32-bit lengths."""
import os
import subprocess
import sys
import textwrap

import pytest

BIG = os.environ.get("KESTRAVA_BIG_TESTS") == "1"

MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    from kestrava_core.cbor import dumps
    payload = b"x" * (100 << 20)
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[0])
    used = pages * resource.getpagesize()
    # Room for a 100 MB result, not for the generator's 128 MB storage.
    resource.setrlimit(resource.RLIMIT_AS, (used + (112 << 20), resource.RLIM_INFINITY))
    try:
        dumps([1, payload])
    except MemoryError:
        print("MemoryError")
    else:
        print("no error")
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_memory_exhausted_while_writing_raises_memory_error():
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "MemoryError"


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
