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


@pytest.fixture(scope="session")
def s3_endpoint():
    """The URL of an S3 server of this session: moto's server mode on the loopback address."""
    why = "the S3 tests need s3fs and moto[server] (pip install 'vesk[test]')"
    pytest.importorskip("s3fs", reason=why)
    server_module = pytest.importorskip("moto.server", reason=why)
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = server_module.ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    yield f"http://127.0.0.1:{port}"
    server.stop()


@pytest.fixture
def s3(s3_endpoint, monkeypatch):
    """(s3fs file system, storage_options, bucket): a new empty bucket on the server, and the
    options that reach it; the credentials are the server's, given in the environment too."""
    import uuid

    import s3fs

    for name, value in [
        ("AWS_ACCESS_KEY_ID", "testing"),
        ("AWS_SECRET_ACCESS_KEY", "testing"),
        ("AWS_DEFAULT_REGION", "us-east-1"),
    ]:
        monkeypatch.setenv(name, value)
    options = {"endpoint_url": s3_endpoint}
    fs = s3fs.S3FileSystem(**options)
    bucket = f"vesk-{uuid.uuid4().hex[:12]}"
    fs.mkdir(bucket)
    return fs, options, bucket
