"""Hypothesis profiles, chosen by FIELDPACK_HYPOTHESIS_PROFILE.

- "default" (when the variable is unset): Hypothesis's usual settings;
- "ci": the same example counts, derandomized (a commit passes or fails the same way on every
  run), no example database, the failing example printed for reproduction, and no complaint when
  data generation is slow (sanitizer builds are);
- "emulated": as "ci" with fewer examples, for interpreters running under an emulator.

No profile has a deadline: machines are shared and emulation is slow, so timings say nothing.
All three start from Hypothesis's own defaults, whether or not it detects a CI environment.
"""

import os

import pytest
from hypothesis import HealthCheck, settings

from helpers import as_read_from_json

_HYPOTHESIS_DEFAULTS = settings.get_profile("default")
_GATE = dict(deadline=None, derandomize=True, database=None, print_blob=True,
             suppress_health_check=[HealthCheck.too_slow])

settings.register_profile("default", _HYPOTHESIS_DEFAULTS, deadline=None)
settings.register_profile("ci", _HYPOTHESIS_DEFAULTS, **_GATE)
settings.register_profile("emulated", _HYPOTHESIS_DEFAULTS, max_examples=20, **_GATE)

settings.load_profile(os.environ.get("FIELDPACK_HYPOTHESIS_PROFILE", "default"))


@pytest.fixture(params=["literal", "json"])
def recipe_form(request):
    """Runs a recipe table twice: as written (interned keys) and as read from a JSON file."""
    return (lambda recipe: recipe) if request.param == "literal" else as_read_from_json
