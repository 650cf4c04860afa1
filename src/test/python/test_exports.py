"""The module's shared object exports every core function under its own
name, so that native code (here: ctypes) can call the core through the
installed module, and nothing else but its entry."""
import ctypes
import pathlib
import sys

import pytest

import kestrava_core
from kestrava_core import cbor, delta

SRC = pathlib.Path(__file__).resolve().parents[2]
CORE = SRC / "main" / "core"
sys.path.insert(0, str(SRC / "test" / "tools"))
from check_exports import declared, exported  # noqa: E402

# Exported by the bindings, not the core: the interpreter's entry and the
# switch through which the tests send dumps past its fast paths.
MODULE_OWN = {"PyInit_kestrava_core", "kestrava_dumps_fast_paths"}


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("len", ctypes.c_uint32), ("capacity", ctypes.c_uint32)]


class Generator(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("len", ctypes.c_uint32)]


@pytest.fixture(scope="module")
def lib():
    lib = ctypes.CDLL(kestrava_core.__file__)
    lib.buf_create.restype = ctypes.POINTER(Buf)
    lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
    lib.buf_write_bytes.argtypes = [ctypes.POINTER(Buf), ctypes.c_void_p, ctypes.c_uint32]
    for name in ("diff_generate_binary", "diff_generate_binary_indexed", "diff_apply_binary"):
        getattr(lib, name).restype = ctypes.POINTER(Buf)
        getattr(lib, name).argtypes = [ctypes.POINTER(Buf), ctypes.POINTER(Buf)]
    lib.cbor_generator_create.restype = ctypes.POINTER(Generator)
    lib.cbor_generator_free.argtypes = [ctypes.POINTER(Generator)]
    lib.cbor_write_float.argtypes = [ctypes.POINTER(Generator), ctypes.c_double]
    lib.cbor_write_uint.argtypes = [ctypes.POINTER(Generator), ctypes.c_uint64]
    lib.cbor_write_map.argtypes = [ctypes.POINTER(Generator), ctypes.c_uint64]
    lib.cbor_write_text_string.argtypes = [ctypes.POINTER(Generator), ctypes.c_char_p, ctypes.c_uint64]
    return lib


def test_every_declared_core_function_is_exported(lib):
    names = declared(CORE)
    assert len(names) > 100
    missing = sorted(n for n in names if not hasattr(lib, n))
    assert missing == []
    # A data symbol as well as functions.
    assert ctypes.c_void_p.in_dll(lib, "cbor_jump_table").value is not None


def test_nothing_else_is_exported():
    # Whatever the toolchain links in (a C++ runtime's operator new and
    # delete, typeinfo of standard types) stays inside the module.
    have = exported(kestrava_core.__file__)
    assert sorted(have - declared(CORE) - MODULE_OWN) == []
    assert MODULE_OWN <= have


def owned_bytes(pointer):
    return ctypes.string_at(pointer.contents.data, pointer.contents.len) if pointer.contents.len else b""


def view(data):
    return Buf(ctypes.cast(ctypes.c_char_p(data), ctypes.POINTER(ctypes.c_uint8)), len(data), len(data))


def test_core_delta_functions_agree_with_the_python_api(lib):
    old = b"the quick brown fox jumps over the lazy dog" * 20
    new = old.replace(b"fox", b"cat", 3)
    result = lib.diff_generate_binary(ctypes.byref(view(old)), ctypes.byref(view(new)))
    assert result
    native_delta = owned_bytes(result)
    lib.buf_free(result)
    assert native_delta == bytes(delta.diff(old, new))
    patched = lib.diff_apply_binary(ctypes.byref(view(old)), ctypes.byref(view(native_delta)))
    assert owned_bytes(patched) == new
    lib.buf_free(patched)
    assert not lib.diff_apply_binary(ctypes.byref(view(old)), ctypes.byref(view(b"\x18")))
    result = lib.diff_generate_binary_indexed(ctypes.byref(view(old)), ctypes.byref(view(new)))
    assert result
    assert owned_bytes(result) == bytes(delta.diff_indexed(old, new))
    lib.buf_free(result)


def test_core_generator_writes_what_dumps_writes(lib):
    g = lib.cbor_generator_create()
    assert lib.cbor_write_map(g, 2) == 0
    assert lib.cbor_write_text_string(g, b"k", 1) == 0
    assert lib.cbor_write_float(g, 1.5) == 1
    assert lib.cbor_write_uint(g, 7) == 0
    assert lib.cbor_write_float(g, float("nan")) == 0
    written = ctypes.string_at(g.contents.data, g.contents.len)
    lib.cbor_generator_free(g)
    assert written == cbor.dumps({"k": 1.5, 7: float("nan")}, indefinite=False)


def test_core_buffer_functions(lib):
    b = lib.buf_create()
    lib.buf_write_bytes(b, b"abc", 3)
    lib.buf_write_bytes(b, b"de", 2)
    assert owned_bytes(b) == b"abcde"
    lib.buf_free(b)
