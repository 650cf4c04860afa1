"""The installed type stubs: mypy sees the module's signatures."""
import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api", reason="mypy is not installed")

GOOD = """
from kestrava_core import cbor, delta
from kestrava_core.delta import PythonInBuf, PythonOutBuf

d: PythonOutBuf = delta.diff(b"old", PythonInBuf(b"new"))
raw: bytes = bytes(d)
moved: PythonOutBuf = delta.diff_indexed(old_value=b"old", new_value=b"new")
view: memoryview = memoryview(delta.patch(old_value=b"old", diff=raw))
encoded: bytes = cbor.dumps({"k": [1, 2.5, None]}, indefinite=False, max_depth=3)
version: str = cbor.__version__ + delta.__version__
"""

BAD = """
from kestrava_core import cbor, delta
delta.diff("old", b"new")
delta.patch(b"old", delta.diff(b"a", b"b"))
n: int = cbor.dumps(1)
cbor.dumps(1, depth=2)
delta.diff_indexed(b"old", None)
"""


def run(tmp_path, source):
    path = tmp_path / "usage.py"
    path.write_text(textwrap.dedent(source))
    return mypy_api.run(["--no-incremental", "--cache-dir", str(tmp_path / "cache"), "--strict", str(path)])


def test_stubs_accept_correct_use(tmp_path):
    out, err, status = run(tmp_path, GOOD)
    assert status == 0, out + err


def test_stubs_reject_wrong_use(tmp_path):
    out, _, status = run(tmp_path, BAD)
    assert status == 1
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["3", "4", "5", "6", "7"], out
