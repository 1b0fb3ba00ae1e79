"""pytest hooks of the arbolite Python tests; the helpers the tests share are
in helpers.py.

The suite also runs against an AddressSanitizer build (ARBOLITE_SANITIZED
set), where everything is several times slower, so property tests use fewer
examples there.
"""

from hypothesis import HealthCheck, settings

from helpers import SANITIZED


def pytest_configure(config):
    settings.register_profile("arbolite", max_examples=150, deadline=None)
    settings.register_profile(
        "sanitized",
        max_examples=12,
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile("sanitized" if SANITIZED else "arbolite")
