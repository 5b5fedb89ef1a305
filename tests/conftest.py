"""What every layer's tests share: the random tests' depth and a quick password hash.

Helpers live in tests/support (on the path through pytest's `pythonpath` option) and are
imported by name, `from support.command import run`; each folder's conftest.py holds the
fixtures of its layer.
"""

import os

import pytest
from hypothesis import HealthCheck, settings

from rotavel_app.web import secure

# Random tests run in three depths: "test" for `make test` (a newcomer's quick, repeatable run),
# "ci" for `make check` (the long property runs), "dev" for a long search by hand.
_HYPOTHESIS = {"derandomize": True, "database": None, "deadline": None}
_SLOW_OK = [HealthCheck.too_slow, HealthCheck.data_too_large]
settings.register_profile("test", max_examples=50, suppress_health_check=_SLOW_OK, **_HYPOTHESIS)
settings.register_profile("ci", max_examples=200, suppress_health_check=_SLOW_OK, **_HYPOTHESIS)
settings.register_profile("dev", max_examples=1000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "test"))


@pytest.fixture(autouse=True)
def quick_hash(monkeypatch):
    # Passwords are hashed at a cost meant for a stolen file; tests log in many times.
    monkeypatch.setattr(secure, "SCRYPT_N", 2**8)
