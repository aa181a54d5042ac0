"""Internal faults: the exception class and the report on standard error."""

import re

from conftest import run_python


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
    report = re.compile(rf"thread '<unnamed>' \({thread_id}\) panicked at src/wd1_reader\.cpp:\d+:\d+:")
    assert lines[0] == ""
    assert report.fullmatch(lines[1])
    assert lines[2] == "capacity overflow"
    hint = lines[3]
    assert "report" in hint
    assert lines[4] == ""
    assert report.fullmatch(lines[5]) and lines[6] == "capacity overflow"
    assert lines[7:] == [""]
    assert result.stderr.count(hint) == 1
