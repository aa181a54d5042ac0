"""NumPy is located at the first step, never at import; a failed lookup consumes no event."""

import pytest

from wdfiles import WRITE_FILES, run_python

PRELUDE = (
    WRITE_FILES
    + """
    import struct, sys
    def wd1(counter, samples=(1, 2)):
        return struct.pack("<6i", 24 + 2 * len(samples), 0, 0, 0, counter, 0) + struct.pack(
            f"<{len(samples)}H", *samples)
"""
)


def test_missing_numpy_is_a_fault_that_loses_no_event():
    result = run_python(
        PRELUDE
        + """
    sys.modules["numpy"] = None   # makes `import numpy` fail as if it were not installed
    import vesk
    reader = vesk.EventReader(write("a.wd1", wd1(0) + wd1(1)), "WD1")
    empty = vesk.EventReader(write("empty.wd1", b""), "WD1")
    directory = vesk.EventReader(folder, "WD1")
    for r in (reader, reader, empty, directory):
        try:
            next(r)
        except BaseException as e:
            print(type(e).__module__, type(e).__name__, isinstance(e, Exception), len(e.args))
            print(e.args[0])
    del sys.modules["numpy"]
    print([event["event_counter"] for event in reader])
    """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    message = (
        "Failed to access NumPy array API capsule: PyErr { type: <class 'ModuleNotFoundError'>, "
        "value: ModuleNotFoundError('import of numpy halted; None in sys.modules'), "
        "traceback: None }"
    )
    assert lines[:8] == ["pyo3_runtime PanicException False 1", message] * 4
    assert lines[8] == "[0, 1]"
    assert result.stderr.count("panicked at") == 4
    assert result.stderr.count(message) == 4


def test_reentrant_use_during_the_numpy_import_meets_the_access_flag():
    # Importing NumPy runs Python code; here an import hook uses the reader that is
    # importing it, as another thread could.
    result = run_python(
        PRELUDE
        + """
    import vesk
    reader = vesk.EventReader(write("a.wd1", wd1(0) + wd1(1)), "WD1")
    class Hook:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy":
                sys.meta_path.remove(self)
                for attempt in (lambda: next(reader), lambda: iter(reader)):
                    try:
                        attempt()
                    except RuntimeError as e:
                        print(e.args)
            return None
    sys.meta_path.insert(0, Hook())
    print([event["event_counter"] for event in reader])
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["('Already borrowed',)", "('Already mutably borrowed',)", "[0, 1]"]


@pytest.mark.parametrize("version, core", [("2.0.0", "numpy._core"), ("1.26.4", "numpy.core")])
def test_core_package_follows_numpys_major_version(version, core):
    # Plant the real function table under the expected module name and a wrong one
    # under the other: only the lookup that follows the major version finds a capsule.
    other = {"numpy._core": "numpy.core", "numpy.core": "numpy._core"}[core]
    result = run_python(
        PRELUDE
        + f"""
    import types, numpy
    real_capsule = numpy.core.multiarray._ARRAY_API
    numpy.__version__ = "{version}"
    right, wrong = types.ModuleType("right"), types.ModuleType("wrong")
    right._ARRAY_API, wrong._ARRAY_API = real_capsule, "not a capsule"
    sys.modules["{core}.multiarray"], sys.modules["{other}.multiarray"] = right, wrong
    import vesk
    print(len(list(vesk.EventReader(write("a.wd1", wd1(0)), "WD1"))))
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["1"]


def test_table_that_is_not_a_capsule_is_a_fault():
    result = run_python(
        PRELUDE
        + """
    import types, numpy
    fake = types.ModuleType("fake")
    fake._ARRAY_API = 42
    major = int(numpy.__version__.split(".")[0])
    sys.modules["numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray"] = fake
    import vesk
    try:
        next(vesk.EventReader(write("a.wd1", wd1(0)), "WD1"))
    except BaseException as e:
        print(e.args[0])
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "Failed to access NumPy array API capsule: PyErr { type: <class 'TypeError'>, value: TypeError("
    )
