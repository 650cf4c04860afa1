"""The installed type stubs: mypy sees the module's signatures."""
import pathlib
import platform
import re
import struct
import textwrap

import pytest

import kestrava_core

# PyPy 7.3.19 on 32-bit x86 aborted inside mypy's own code at the end of a
# long run of this suite (README, platform notes). The stubs read the same
# under every interpreter; CPython and 64-bit PyPy check them.
if platform.python_implementation() == "PyPy" and struct.calcsize("P") == 4:
    pytest.skip("mypy is not run under PyPy on 32-bit x86 (an abort seen inside mypy there)",
                allow_module_level=True)

mypy_api = pytest.importorskip("mypy.api", reason="mypy is not installed")

# The stub-only package is installed beside the package kestrava_core,
# whose __init__ is the extension module.
INSTALLED_STUBS = pathlib.Path(kestrava_core.__file__).resolve().parent.parent / "kestrava_core-stubs"

GOOD = """
from kestrava_core import cbor, delta
from kestrava_core.delta import PythonInBuf, PythonOutBuf

d: PythonOutBuf = delta.diff(b"old", PythonInBuf(b"new"))
raw: bytes = bytes(d)
moved: PythonOutBuf = delta.diff_indexed(old_value=b"old", new_value=b"new")
view: memoryview = memoryview(delta.patch(old_value=b"old", diff=raw))
bounded: PythonOutBuf = delta.patch(b"old", raw, max_size=1 << 20)
encoded: bytes = cbor.dumps({"k": [1, 2.5, None]}, indefinite=False, max_depth=3)
version: str = cbor.__version__ + delta.__version__
from kestrava_core.__main__ import main
status: int = main(["dumps", "--definite"])
"""

BAD = """
from kestrava_core import cbor, delta
delta.diff("old", b"new")
delta.patch(b"old", delta.diff(b"a", b"b"))
n: int = cbor.dumps(1)
cbor.dumps(1, depth=2)
delta.diff_indexed(b"old", None)
delta.patch(b"old", b"d", 3)
delta.patch(b"old", b"d", max_size="3")
from kestrava_core.__main__ import main
main("dumps")
"""


def run(tmp_path, source, *flags):
    path = tmp_path / "usage.py"
    path.write_text(textwrap.dedent(source))
    return mypy_api.run(["--no-incremental", "--cache-dir", str(tmp_path / "cache"), "--strict", *flags, str(path)])


def test_stubs_accept_correct_use(tmp_path):
    out, err, status = run(tmp_path, GOOD, "--verbose")
    assert status == 0, out + err
    # What mypy read are the stubs that came with the module, not a copy in a source tree.
    parsed = re.findall(r"Parsing (\S+) \((kestrava_core(?:\.\w+)?)\)", err)
    assert sorted(module for _, module in parsed) == ["kestrava_core", "kestrava_core.__main__",
                                                           "kestrava_core.cbor", "kestrava_core.delta"], err
    assert {pathlib.Path(path).resolve().parent for path, _ in parsed} == {INSTALLED_STUBS}


def test_stubs_reject_wrong_use(tmp_path):
    out, _, status = run(tmp_path, BAD)
    assert status == 1
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["3", "4", "5", "6", "7", "8", "9", "11"], out
