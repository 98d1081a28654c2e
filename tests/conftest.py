import os

from hypothesis import HealthCheck, settings

# The machine running the suite is shared and noisy: no per-example deadline.
settings.register_profile(
    "default", deadline=None, max_examples=100, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "thorough", deadline=None, max_examples=2000, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("QUILLMERE_HYPOTHESIS_PROFILE", "default"))
