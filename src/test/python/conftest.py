import os

from hypothesis import HealthCheck, settings

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
