"""The module tree, docstrings, version attributes, signatures, and the
import-time interpreter check."""
import importlib
import pathlib
import shutil
import subprocess
import sys

import pytest

import kestrava_core
from kestrava_core import cbor, delta

REPO = pathlib.Path(__file__).resolve().parents[3]

CBOR_DOC = (
    "\n            Kestrava cbor\n            -----------------------\n\n"
    "            .. currentmodule:: kestrava_cbor\n\n            .. autosummary::\n"
    "               :toctree: _generate\n\n               dumps\n        "
)
DELTA_DOC = (
    "\n        Kestrava Delta\n        -----------------------\n\n"
    "        .. currentmodule:: kestrava_delta\n\n        .. autosummary::\n"
    "           :toctree: _generate\n\n           diff\n    "
)


def test_module_tree_and_versions():
    assert kestrava_core.__doc__ is None
    assert not hasattr(kestrava_core, "__version__")
    with pytest.raises(AttributeError):
        kestrava_core.__version__
    assert cbor.__version__ == "dev"
    assert delta.__version__ == "dev"
    own = {name for name in vars(kestrava_core) if not name.startswith("__")}
    assert own == {"cbor", "delta"}
    assert {n for n in vars(cbor) if not n.startswith("__")} == {"dumps"}
    assert {n for n in vars(delta) if not n.startswith("__")} == {"PythonOutBuf", "PythonInBuf", "diff", "diff_indexed",
                                                                  "patch"}


def test_submodules_are_importable_by_dotted_name():
    assert sys.modules["kestrava_core.cbor"] is cbor
    assert sys.modules["kestrava_core.delta"] is delta
    assert importlib.import_module("kestrava_core.cbor") is cbor
    from kestrava_core.delta import diff, patch  # noqa: F401
    assert cbor.__name__ == "kestrava_core.cbor"
    assert delta.__name__ == "kestrava_core.delta"
    assert delta.PythonOutBuf.__module__ == "kestrava_core.delta"
    assert delta.PythonInBuf.__module__ == "kestrava_core.delta"


def test_submodule_docstrings_exact():
    assert cbor.__doc__ == CBOR_DOC
    assert delta.__doc__ == DELTA_DOC
    assert delta.__doc__.endswith("\n    ") and not delta.__doc__.endswith("\n     ")


def test_function_docstrings_follow_the_generated_signature():
    # The binding library writes the signature line and an empty line, then
    # the docstring as registered, then a line break.
    signature, _ = cbor.dumps.__doc__.split("\n", 1)
    assert signature == ("dumps(value: Union[bool, float, int, list, tuple, dict, bytes, str, None, bool, int, int, "
                         "str], indefinite: bool = True, max_depth: int = 0) -> bytes")
    assert cbor.dumps.__doc__ == signature + "\n\n" + "\n        Dump a Python object to cbor\n        " + "\n"
    assert delta.diff.__doc__ == (
        "diff(old_value: kestrava_core.delta.PythonInBuf, new_value: kestrava_core.delta.PythonInBuf) -> "
        "kestrava_core.delta.PythonOutBuf\n\n" + "\n    Diff between 'old_value' and 'new_value'\n    " + "\n")
    assert delta.patch.__doc__ == (
        "patch(old_value: kestrava_core.delta.PythonInBuf, diff: kestrava_core.delta.PythonInBuf, *, "
        "max_size: Optional[int] = None) -> "
        "kestrava_core.delta.PythonOutBuf\n\n" + "\n    Apply 'diff' to 'old_value'\n    " + "\n")
    assert delta.diff_indexed.__doc__ == (
        "diff_indexed(old_value: kestrava_core.delta.PythonInBuf, new_value: kestrava_core.delta.PythonInBuf) -> "
        "kestrava_core.delta.PythonOutBuf\n\n" + "\n    Diff between 'old_value' and 'new_value' that finds moved and "
        "repeated blocks anywhere in 'old_value'\n    " + "\n")
    assert delta.PythonInBuf.__doc__ is None
    assert delta.PythonOutBuf.__doc__ is None


VERSION_DRIVER = r"""
#include <cstdio>
#include "bindings/python/main/version_check.h"
int main(int argc, char **argv) {
    bool ok = kestrava::python_version_matches(argv[1], argv[2]);
    std::printf("%d|%s", ok ? 1 : 0, kestrava::python_version_mismatch_message(argv[1], argv[2]).c_str());
    return argc == 3 ? 0 : 2;
}
"""


@pytest.fixture(scope="module")
def version_check(tmp_path_factory):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the version check driver")
    work = tmp_path_factory.mktemp("version_check")
    (work / "driver.cc").write_text(VERSION_DRIVER)
    exe = work / "driver"
    subprocess.run([compiler, "-std=c++17", "-Wall", "-Wextra", "-Werror",
                    "-I", str(REPO / "src/main"), str(work / "driver.cc"), "-o", str(exe)],
                   check=True)

    def run(compiled, running):
        out = subprocess.run([str(exe), compiled, running], check=True, capture_output=True, text=True).stdout
        flag, message = out.split("|", 1)
        return flag == "1", message

    return run


@pytest.mark.parametrize("compiled, running, ok", [
    ("3.10", "3.10.13 (main, Jan 1 2024) [PyPy 7.3.15]", True),
    ("3.10", "3.10", True),
    ("3.10", "3.100.1", False),
    ("3.10", "3.11.7 (main)", False),
    ("3.10", "3.1.2", False),
    ("3.10", "3.100", False),
    ("3.10", "3.1.", False),
    ("3.10", "3.11.2", False),
    # The reference build: Debian bookworm's PyPy implements 3.9.
    ("3.9", "3.9.16 (7.3.11+dfsg-2+deb12u3, Dec 30 2024, 22:36:23)\n[PyPy 7.3.11 with GCC 12.2.0]", True),
    ("3.9", "3.90", False),
    ("3.11", "3.11.7 (main, Dec 8 2026, 03:47:15) [GCC 12.2.0]", True),
    ("3.11", "3.11+", True),
    ("3.11", "3.110", False),
    ("3.11", "3.12.0", False),
    ("3.11", "", False),
])
def test_interpreter_version_decision(version_check, compiled, running, ok):
    matched, message = version_check(compiled, running)
    assert matched is ok
    assert message == ("Python version mismatch: module was compiled for Python %s, but the interpreter "
                       "version is incompatible: %s." % (compiled, running))


def test_running_interpreter_is_accepted(version_check):
    compiled = "%d.%d" % sys.version_info[:2]
    assert version_check(compiled, sys.version)[0]
