"""Internal faults: the exception class and the report on standard error."""

import re
import textwrap

import pytest

from wdfiles import WRITE_FILES, run_python


def _has_testcapi():
    try:
        import _testcapi
    except ImportError:
        return False
    return hasattr(_testcapi, "set_nomemory")


def test_panic_exception_class(PanicException):
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__qualname__ == PanicException.__name__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    assert "BaseException" in PanicException.__doc__


def test_report_format_and_hint_printed_once(tmp_path):
    path = tmp_path / "faults.wd1"
    path.write_bytes(b"\x16" + b"\0" * 23 + b"\x16" + b"\0" * 23)  # two events of size 22
    result = run_python(f"""
        import threading, vesk
        reader = vesk.EventReader({str(path)!r}, "WD1")
        for _ in range(2):
            try:
                next(reader)
            except BaseException as e:
                print(repr(e), e.__cause__, e.__context__, e.__traceback__.tb_next)
        print(threading.get_native_id())
    """)
    assert result.returncode == 0, result.stderr
    out = result.stdout.splitlines()
    assert out[:2] == ["PanicException('capacity overflow') None None None"] * 2
    thread_id = out[2]
    lines = result.stderr.split("\n")
    report = re.compile(rf"thread '<unnamed>' \({thread_id}\) panicked at src/[\w/]+\.cpp:\d+:\d+:")
    assert lines[0] == ""
    assert report.fullmatch(lines[1])
    assert lines[2] == "capacity overflow"
    hint = lines[3]
    assert "report" in hint
    assert lines[4] == ""
    assert report.fullmatch(lines[5]) and lines[6] == "capacity overflow"
    assert lines[7:] == [""]
    assert result.stderr.count(hint) == 1


SWEEP = (
    WRITE_FILES
    + """
    import collections, struct, sys
    import numpy
    import _testcapi
    import vesk

    wd1 = write("a.wd1", b"".join(
        struct.pack("<6i", 28, 1000 + i, 70000, -5, i, 0) + struct.pack("<2H", 1, 2) for i in range(4)))
    wd2 = write("a.wd2", b"".join(
        struct.pack("<IQIQi", 7 + i, 2**40, 1, 2**35, 2) + struct.pack("<2f", 1, 2) for i in range(4)))
    empty = write("empty.wd1", b"")
    unraisable = []
    sys.unraisablehook = lambda info: unraisable.append(info.exc_type.__name__)

    def attempt(action, start):
        _testcapi.set_nomemory(start, start + 1)   # only the start-th allocation fails
        try:
            action()
            return "ok"
        except BaseException as e:
            _testcapi.remove_mem_hooks()
            return f"{type(e).__name__}: {e}"
        finally:
            _testcapi.remove_mem_hooks()

    outcomes = collections.Counter()
    if MODE == "first array":
        list(vesk.EventReader(empty, "WD1"))   # NumPy located, PySliceContainer not yet created
    else:
        list(vesk.EventReader(wd1, "WD1"))
    fds = len(os.listdir("/proc/self/fd"))
    for start in range(1, 60):
        if MODE == "construct":
            for path, kind in ((wd1, "WD1"), (wd2, "WD2"), (folder + "/x", "WD1"), (wd1, "x")):
                outcome = attempt(lambda: vesk.EventReader(path, kind), start)
                outcomes[outcome] += 1
            continue
        else:
            for path, kind in ((wd1, "WD1"), (wd2, "WD2")):
                reader = vesk.EventReader(path, kind)
                outcome = attempt(lambda: next(reader), start)
                if MODE != "first array":   # there, keep failing inside the owner type's creation
                    after = next(reader)        # the reader stays usable
                    assert after["data"].tolist() == [1, 2], after
                del reader
        outcomes[outcome.split(": PyErr")[0]] += 1
    assert len(os.listdir("/proc/self/fd")) == fds
    for outcome in outcomes:
        print(outcome)
    print("unraisable", unraisable)
"""
)


def run_sweep(mode):
    result = run_python(f"MODE = {mode!r}\n" + textwrap.dedent(SWEEP))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    return set(lines[:-1]), lines[-1], result.stderr


@pytest.mark.skipif(not _has_testcapi(), reason="needs _testcapi.set_nomemory")
def test_failed_allocations_in_a_step_are_faults_and_the_reader_recovers():
    outcomes, _, stderr = run_sweep("warm")
    reached = {
        "ok",
        "PanicException: Python API call failed",
        "PanicException: Failed to create slice container",
    }
    # Where the dictionary cannot be presized (CPython 3.13), an insertion can fail too.
    assert reached <= outcomes <= reached | {"PanicException: called `Result::unwrap()` on an `Err` value"}
    assert "MemoryError" in stderr  # the printed error behind "Python API call failed"


@pytest.mark.skipif(not _has_testcapi(), reason="needs _testcapi.set_nomemory")
def test_failed_owner_type_creation_goes_to_the_unraisable_hook():
    outcomes, unraisable, _ = run_sweep("first array")
    assert "PanicException: failed to create type object for `PySliceContainer`" in outcomes
    assert "MemoryError" in unraisable


@pytest.mark.skipif(not _has_testcapi(), reason="needs _testcapi.set_nomemory")
def test_failed_allocations_during_construction_leak_nothing():
    outcomes, _, _ = run_sweep("construct")
    # When the allocation that would normalise an exception on its way up fails, CPython
    # itself reports "error return without exception set" (so does int("x")).
    assert outcomes <= {
        "ok",
        "MemoryError: ",
        "FileNotFoundError: No such file or directory (os error 2)",
        "ValueError: unknown reader type 'x', expected 'WD1' or 'WD2'",
        "SystemError: error return without exception set",
    }
    assert "MemoryError: " in outcomes


@pytest.mark.skipif(not _has_testcapi(), reason="needs _testcapi.set_nomemory")
def test_failed_initialisation_caches_nothing_and_can_be_retried():
    result = run_python("""
        import collections, importlib.util, _testcapi
        spec = importlib.util.find_spec("vesk")
        outcomes = collections.Counter()
        for start in range(1, 400):
            _testcapi.set_nomemory(start, start + 1)
            try:
                module = importlib.util.module_from_spec(spec)
                outcome = "ok"
            except BaseException as e:
                _testcapi.remove_mem_hooks()
                outcome = type(e).__name__
                if outcome == "PanicException":
                    outcome += ": " + e.args[0].split(": PyErr")[0]
            finally:
                _testcapi.remove_mem_hooks()
            outcomes[outcome] += 1
            if outcome == "ok":
                break
        print(dict(outcomes))
        print(module.__all__, module.EventReader.__text_signature__)
    """)
    assert result.returncode == 0, result.stderr
    outcomes, surface = result.stdout.splitlines()
    # Where appending to a fresh list allocates (CPython 3.13), the append can fail too.
    assert (
        {"MemoryError", "ok"}
        <= set(eval(outcomes))
        <= {"MemoryError", "ok", "PanicException: could not append __name__ to __all__"}
    )
    assert surface == "['EventReader'] (path, reader_type)"


def test_error_rendering_includes_an_escaped_traceback():
    # NumPy's version lookup fails inside Python code, so the error carries a traceback.
    result = run_python(r"""
        import sys, types
        fake = types.ModuleType("numpy")
        def __getattr__(name):
            raise ValueError('say "hi" \\ \t')
        fake.__getattr__ = __getattr__
        sys.modules["numpy"] = fake
        import os, struct, tempfile, vesk
        path = os.path.join(tempfile.mkdtemp(), "a.wd1")
        with open(path, "wb") as f:
            f.write(struct.pack("<6i", 24, 0, 0, 0, 0, 0))
        try:
            next(vesk.EventReader(path, "WD1"))
        except BaseException as e:
            print(e.args[0])
    """)
    assert result.returncode == 0, result.stderr
    value = repr(ValueError('say "hi" \\ \t'))
    traceback = 'Traceback (most recent call last):\n  File "<string>", line 5, in __getattr__\n'
    escaped = (
        traceback.replace("\\", "\\\\")
        .replace('"', '\\"')
        .replace("\n", "\\n")
        .replace("\t", "\\t")
        .replace("\r", "\\r")
    )
    assert result.stdout == (
        "Failed to access NumPy array API capsule: PyErr { type: <class 'ValueError'>, "
        f'value: {value}, traceback: Some("{escaped}") }}\n'
    )
