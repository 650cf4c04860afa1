import contextlib
import ctypes
import os
import pathlib

import pytest
from hypothesis import HealthCheck, settings

import kestrava_core

# Modest example counts keep the suite fast; no example database is written
# into the source tree.
settings.register_profile(
    "kestrava",
    max_examples=int(os.environ.get("KESTRAVA_HYPOTHESIS_EXAMPLES", "150")),
    deadline=None,
    database=None,
    # The function-scoped fixture `dumps_paths` only flips a switch for the
    # whole test, which suits every example.
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.load_profile("kestrava")


# When the suite checks an installed wheel, the module must be the one
# installed there, not a build lying around on the way to the tests. The
# module is the __init__ of the package directory kestrava_core.
_expected_dir = os.environ.get("KESTRAVA_EXPECT_MODULE_IN")
if _expected_dir:
    _module_dir = pathlib.Path(kestrava_core.__file__).resolve().parent.parent
    if _module_dir != pathlib.Path(_expected_dir).resolve():
        raise pytest.UsageError("kestrava_core was imported from %s, expected %s" % (kestrava_core.__file__, _expected_dir))

# dumps writes exact built-in types through shortcuts; the module's shared
# object has a switch (for tests, through ctypes) that sends every element
# through the general matching instead. Tests that use `dumps_paths` run
# once each way.
_fast_paths_switch = ctypes.CDLL(kestrava_core.__file__).kestrava_dumps_fast_paths
_fast_paths_switch.argtypes = [ctypes.c_int]
_fast_paths_switch.restype = ctypes.c_int


@contextlib.contextmanager
def dumps_fast_paths(on):
    previous = _fast_paths_switch(1 if on else 0)
    try:
        yield
    finally:
        _fast_paths_switch(previous)


@pytest.fixture(params=["fast", "general"])
def dumps_paths(request):
    with dumps_fast_paths(request.param == "fast"):
        yield request.param
