import os
import subprocess
import sys
import textwrap

import pytest

import vesk

sys.path.insert(0, os.path.dirname(__file__))
from wdfiles import FAULT, wd1_event  # noqa: E402

# Set by the sanitizer run: ASan's quarantine keeps freed memory mapped, so
# figures of resident memory mean nothing there.
SANITIZED = os.environ.get("VESK_SANITIZED") == "1"
needs_plain_memory = pytest.mark.skipif(SANITIZED, reason="RSS is not meaningful under ASan")


@pytest.fixture
def write(tmp_path):
    """write(bytes, name=...) -> path of a new file holding those bytes."""
    counter = iter(range(1_000_000))

    def write_file(data, name=None):
        path = tmp_path / (name or f"file{next(counter)}.bin")
        path.write_bytes(data)
        return str(path)

    return write_file


def fault_class():
    """The process-wide PanicException class, obtained by provoking a fault."""
    import tempfile

    with tempfile.NamedTemporaryFile(suffix=".wd1") as f:
        f.write(wd1_event(event_size=22))
        f.flush()
        try:
            next(vesk.EventReader(f.name, "WD1"))
        except BaseException as e:  # noqa: B036
            return type(e)
    raise AssertionError("no fault raised")


@pytest.fixture(scope="session")
def PanicException():
    return fault_class()


def collect(reader, panic):
    """Iterates to the end, recording FAULT for each internal fault."""
    out = []
    while True:
        try:
            out.append(next(reader))
        except StopIteration:
            return out
        except panic:
            out.append(FAULT)


# For code run by run_python: a scratch folder, and write(name, data) -> path.
WRITE_FILES = """
    import os, tempfile
    folder = tempfile.mkdtemp()
    def write(name, data):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path
"""


def run_python(code, timeout=120, **kwargs):
    """Runs code in a fresh interpreter; returns the CompletedProcess.

    A code that may block for ever (reading a FIFO, say) is given a short timeout:
    subprocess.TimeoutExpired then fails the test instead of hanging the suite."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def open_fds():
    return len(os.listdir("/proc/self/fd"))
