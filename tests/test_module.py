"""The module's surface: what `import vesk` creates and the class's type details."""

import importlib.metadata
import types
import weakref

import pytest

import vesk
from wdfiles import run_python, wd1_event


def test_module_exports_only_the_reader_and_names_its_version():
    assert vesk.__all__ == ["EventReader"]
    assert type(vesk.__all__) is list
    assert vesk.__doc__ == ""
    public = {name for name in dir(vesk) if not name.startswith("__")}
    assert public == {"EventReader"}
    # Beside what every extension module has, the version is the one name added.
    assert set(dir(vesk)) - set(dir(types.ModuleType("m"))) == {
        "EventReader",
        "__all__",
        "__file__",
        "__version__",
    }
    assert vesk.__version__ == importlib.metadata.version("vesk")


def test_reader_type_details():
    cls = vesk.EventReader
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "EventReader"
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == "(path, reader_type)"
    assert cls.__bases__ == (object,)
    assert not hasattr(cls, "close") and not hasattr(cls, "__enter__") and not hasattr(cls, "__len__")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_take_no_attributes_or_weak_references(write):
    reader = vesk.EventReader(write(b""), "WD1")
    assert iter(reader) is reader
    with pytest.raises(AttributeError):
        reader.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(reader)


def test_slice_container_type(write):
    event = next(vesk.EventReader(write(wd1_event([1, 2])), "WD1"))
    owner_type = type(event["data"].base)
    assert repr(owner_type) == "<class 'builtins.PySliceContainer'>"
    assert owner_type.__doc__ == "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap"
    assert not hasattr(vesk, "PySliceContainer")
    with pytest.raises(TypeError) as raised:
        owner_type()
    assert raised.value.args == ("cannot create 'builtins.PySliceContainer' instances",)
    with pytest.raises(TypeError):
        type("Sub", (owner_type,), {})


def test_import_does_not_import_numpy():
    result = run_python("""
        import sys, vesk
        print("numpy" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


def test_second_initialisation_raises_import_error():
    result = run_python("""
        import sys, vesk
        first = vesk
        del sys.modules["vesk"]
        try:
            import vesk
        except ImportError as e:
            print(type(e).__name__, e.args)
        print(first.EventReader is not None)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError ('PyO3 modules compiled for CPython 3.8 or older may only be initialized "
        "once per interpreter process',)",
        "True",
    ]
