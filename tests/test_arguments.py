"""Construction: argument rules, open failures and reader types, with their exact messages."""

import errno
import os
import pathlib

import pytest

import vesk
from wdfiles import files_open_under, wd1_event

NEW = "EventReader.__new__()"


@pytest.fixture
def wd1_path(write):
    return write(wd1_event([1, 2, 3]))


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", "b", "c"), {}, f"{NEW} takes 2 positional arguments but 3 were given"),
        (("a", "b", "c", "d"), {}, f"{NEW} takes 2 positional arguments but 4 were given"),
        (("a",), {"path": "b"}, f"{NEW} got multiple values for argument 'path'"),
        (("a", "b"), {"reader_type": "x"}, f"{NEW} got multiple values for argument 'reader_type'"),
        ((), {"path": "a", "kind": "WD1"}, f"{NEW} got an unexpected keyword argument 'kind'"),
        # the first bad keyword, in the dictionary's order, wins
        (("a", "b"), {"zz": 1, "path": "b"}, f"{NEW} got an unexpected keyword argument 'zz'"),
        (("a", "b"), {"path": "b", "zz": 1}, f"{NEW} got multiple values for argument 'path'"),
        ((), {"p\udc80": 1}, f"{NEW} got an unexpected keyword argument 'p\ufffd\ufffd\ufffd'"),
        ((), {}, f"{NEW} missing 2 required positional arguments: 'path' and 'reader_type'"),
        (("a",), {}, f"{NEW} missing 1 required positional argument: 'reader_type'"),
        ((), {"reader_type": "WD1"}, f"{NEW} missing 1 required positional argument: 'path'"),
        ((1, "WD1"), {}, "argument 'path': 'int' object cannot be cast as 'str'"),
        ((b"a", "WD1"), {}, "argument 'path': 'bytes' object cannot be cast as 'str'"),
        ((None, "WD1"), {}, "argument 'path': 'NoneType' object cannot be cast as 'str'"),
        (
            (pathlib.PurePosixPath("a"), "WD1"),
            {},
            "argument 'path': 'PurePosixPath' object cannot be cast as 'str'",
        ),
        (("a", 1), {}, "argument 'reader_type': 'int' object cannot be cast as 'str'"),
        # the path is converted before the reader type
        ((1, 2), {}, "argument 'path': 'int' object cannot be cast as 'str'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        vesk.EventReader(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)


def test_nested_qualname_in_type_error():
    class Outer:
        class Inner:
            pass

    with pytest.raises(
        TypeError,
        match=r"^argument 'reader_type': 'test_nested_qualname_in_type_error"
        r"\.<locals>\.Outer\.Inner' object cannot be cast as 'str'$",
    ):
        vesk.EventReader("a", Outer.Inner())


@pytest.mark.parametrize("which", ["path", "reader_type"])
def test_lone_surrogate_raises_the_interpreters_encode_error(wd1_path, which):
    values = {"path": wd1_path, "reader_type": "WD1", which: "x\ud800"}
    with pytest.raises(UnicodeEncodeError) as raised:
        vesk.EventReader(**values)
    assert "argument" not in str(raised.value)


def test_keywords_and_str_subclasses_are_accepted(wd1_path):
    class Text(str):
        pass

    for reader in (
        vesk.EventReader(path=wd1_path, reader_type="WD1"),
        vesk.EventReader(reader_type="WD1", path=wd1_path),
        vesk.EventReader(Text(wd1_path), Text("WD1")),
    ):
        assert next(reader)["event_size"] == 30


def _assert_os_failure(raised, cls, text):
    assert type(raised.value) is cls
    assert raised.value.args == (text,)
    assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (None, None, None)


def _os_text(code):
    return f"{os.strerror(code)} (os error {code})"


@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "WD3"])
def test_open_failures_are_mapped_by_errno(tmp_path, reader_type):
    regular = tmp_path / "regular"
    regular.write_bytes(b"")
    loop = tmp_path / "loop"
    loop.symlink_to(loop)
    cases = [
        (tmp_path / "missing", FileNotFoundError, errno.ENOENT),
        (regular / "below-a-file", NotADirectoryError, errno.ENOTDIR),
        (loop, OSError, errno.ELOOP),
        (tmp_path / ("n" * 300), OSError, errno.ENAMETOOLONG),
    ]
    for path, cls, code in cases:
        with pytest.raises(OSError) as raised:
            vesk.EventReader(str(path), reader_type)
        _assert_os_failure(raised, cls, _os_text(code))


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_is_permission_error(tmp_path):
    path = tmp_path / "secret"
    path.write_bytes(b"")
    path.chmod(0)
    with pytest.raises(PermissionError) as raised:
        vesk.EventReader(str(path), "WD1")
    _assert_os_failure(raised, PermissionError, _os_text(errno.EACCES))


def test_nul_in_path_is_plain_os_error():
    with pytest.raises(OSError) as raised:
        vesk.EventReader("a\0b", "WD1")
    _assert_os_failure(raised, OSError, "file name contained an unexpected NUL byte")


@pytest.mark.parametrize("reader_type", ["wd1", "WD1 ", "", "WD3", "wd2", "WD1\0"])
def test_unknown_reader_type_closes_the_file(tmp_path, wd1_path, reader_type):
    with pytest.raises(ValueError) as raised:
        vesk.EventReader(wd1_path, reader_type)
    assert raised.value.args == (f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'",)
    assert files_open_under(tmp_path) == []


def test_readers_close_their_files(tmp_path, wd1_path, write):
    for _ in range(200):
        reader = vesk.EventReader(wd1_path, "WD1")
        del reader
        with pytest.raises(OSError):
            vesk.EventReader(write(b"x" * 10), "WD2")
    assert files_open_under(tmp_path) == []
