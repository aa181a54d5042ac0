import os

import pytest
from hypothesis import HealthCheck, settings

from wdfiles import SANITIZED, fault_class

# The property tests: a fixed sequence of examples in the normal suite, so that a run
# fails or passes the same way every time; `--hypothesis-profile=fuzz` (the fuzz
# session) draws fresh random examples, VESK_FUZZ_EXAMPLES of them per test.
_COMMON = {
    "deadline": None,
    "database": None,
    "suppress_health_check": [HealthCheck.too_slow, HealthCheck.data_too_large],
}
settings.register_profile("suite", derandomize=True, max_examples=150, **_COMMON)
settings.register_profile(
    "fuzz", derandomize=False, max_examples=int(os.environ.get("VESK_FUZZ_EXAMPLES", "3000")), **_COMMON
)
settings.load_profile("suite")


def pytest_runtest_setup(item):
    if SANITIZED and item.get_closest_marker("plain_memory"):
        pytest.skip("RSS is not meaningful under ASan")


@pytest.fixture
def write(tmp_path):
    """write(bytes, name=...) -> path of a new file holding those bytes."""
    counter = iter(range(1_000_000))

    def write_file(data, name=None):
        path = tmp_path / (name or f"file{next(counter)}.bin")
        path.write_bytes(data)
        return str(path)

    return write_file


@pytest.fixture(scope="session")
def PanicException():
    return fault_class()
