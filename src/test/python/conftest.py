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
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kestrava")


# When the suite checks an installed wheel, the module must be the one
# installed there, not a build lying around on the way to the tests.
_expected_dir = os.environ.get("KESTRAVA_EXPECT_MODULE_IN")
if _expected_dir:
    _module_dir = pathlib.Path(kestrava_core.__file__).resolve().parent
    if _module_dir != pathlib.Path(_expected_dir).resolve():
        raise pytest.UsageError("kestrava_core was imported from %s, expected %s" % (kestrava_core.__file__, _expected_dir))
