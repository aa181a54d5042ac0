"""The options of a read, checked once at the public entry and handed down as one frozen
`ReadOptions`: the readers, the iteration over many files and the writers below the
entries trust it and check nothing again."""

from __future__ import annotations

import dataclasses
import operator
import os
import re
from collections.abc import Mapping, Sequence
from typing import Any, Final, Literal, NamedTuple, Optional, SupportsIndex, Union, cast

import vesk_arrays._core as _core

from ._remote import check_storage_options
from ._schema import FORMATS, Format, select_columns


class DefaultStepSize(str):
    """The step_size the streams are given when none is: DEFAULT_STREAM_STEP, or for a
    reader whose samples stay in the file's mapping, the MAPPED_STREAM_ limits (see
    stream_step)."""

    __slots__ = ()


# Batches that a stream hands on one after the other: the step that the benchmarks of
# reading each event's maximum found best (README, Performance), small enough for the
# batch being filled to stay in the processor's cache while the caller still holds the
# one before.
DEFAULT_STREAM_STEP = DefaultStepSize("2 MiB")
# A mapped batch holds its header columns alone, so that a larger step costs little memory
# and spares the work of each batch; small events are bounded by their count too, for their
# columns to stay in the processor's cache. The same benchmarks found these best for it.
MAPPED_STREAM_BYTES = 64 << 20
MAPPED_STREAM_EVENTS = 32768
# Parts that are stored or scheduled (Parquet row groups, Dask partitions), where each
# part costs more than its bytes.
DEFAULT_STEP = "64 MiB"
DEFAULT_PREFETCH: Final = "auto"

# Aliases, not annotations, so spelt for Python 3.9.
Errors = Literal["raise", "skip"]
Layout = Optional[Literal["multi-channel", "single-channel"]]
Prefetch = Union[int, Literal["auto"]]

_LAYOUTS: dict[str | None, int] = {
    None: _core.LAYOUTS["probe"],
    "multi-channel": _core.LAYOUTS["multi-channel"],
    "single-channel": _core.LAYOUTS["single-channel"],
}
_UINT64_MAX = 2**64 - 1

_UNITS = {
    "": 1,
    "b": 1,
    "kb": 10**3,
    "mb": 10**6,
    "gb": 10**9,
    "tb": 10**12,
    "kib": 2**10,
    "mib": 2**20,
    "gib": 2**30,
    "tib": 2**40,
}
# The extensions that tell a file's format, also under a compressor's (run.wd1.gz is WD1).
EXTENSIONS: dict[str, Format] = {".wd1": "WD1", ".wd2": "WD2"}
COMPRESSED = (".gz", ".xz", ".bz2", ".zst")

_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-z]*)\s*", re.IGNORECASE)


class Step(NamedTuple):
    """How much one batch holds: at most ``max_events`` events, and about ``max_bytes``
    bytes at most (None: no bound)."""

    max_events: int | None
    max_bytes: int | None


class DefaultStep(Step):
    """The Step of DEFAULT_STREAM_STEP: a mapped reader takes the MAPPED_STREAM_ limits instead."""

    __slots__ = ()


def stream_step(step: Step, mapped: bool) -> Step:
    """The limits of the batches of a stream: ``step``, but the default one larger where
    the samples stay in the file's mapping."""
    if mapped and isinstance(step, DefaultStep):
        return Step(MAPPED_STREAM_EVENTS, MAPPED_STREAM_BYTES)
    return step


@dataclasses.dataclass(frozen=True)
class ReadOptions:
    """The checked options of a read: what `read_options` gives, and what every layer
    below the public functions takes instead of the keywords."""

    format: Format
    # The columns each batch holds, in file order (select_columns).
    columns: tuple[str, ...]
    skip_damaged: bool
    layout: Layout
    # The core's read-ahead mode (check_prefetch).
    read_ahead: int
    # What one batch holds, for the functions that read batch after batch (iterate).
    step: Step = Step(None, None)
    # Events start to stop - 1 of each file (stop None: to its end).
    start: int = 0
    stop: int | None = None
    follow: bool = False
    poll_interval: float = 0.5
    timeout: float | None = None
    # For the file systems of URLs (fsspec's storage_options); not part of what is read.
    storage_options: Mapping[str, Any] | None = dataclasses.field(default=None, compare=False)
    # Map a regular file that is neither followed nor compressed (see _mapped).
    memory_map: bool = False

    @property
    def errors(self) -> Errors:
        return "skip" if self.skip_damaged else "raise"

    @property
    def samples(self) -> bool:
        """Whether the batches hold the samples."""
        return "data" in self.columns

    @property
    def layout_code(self) -> int:
        """The core's code for the layout."""
        return _LAYOUTS[self.layout]

    def without_follow(self) -> ReadOptions:
        """The same options for a file that is not followed."""
        return dataclasses.replace(self, follow=False, poll_interval=0.5, timeout=None)

    def counting(self) -> ReadOptions:
        """The options for counting events: damaged ones skipped, nothing followed, no
        payload wanted (a file read from a server then fetches little but headers)."""
        columns = tuple(name for name in self.columns if name != "data")
        return dataclasses.replace(self.without_follow(), skip_damaged=True, columns=columns)


def read_options(
    reader_type: str,
    *,
    step_size: int | str | None = None,
    errors: str = "raise",
    layout: str | None = None,
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    columns: Sequence[str] | None = None,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> ReadOptions:
    """The options, checked in this order; TypeError or ValueError for the first bad one.
    Without ``step_size`` a batch has no limit (the readers' own calls give theirs)."""
    format = check_format(reader_type)
    step = Step(None, None) if step_size is None else check_step(step_size)
    skip_damaged = check_errors(errors) == "skip"
    check_layout(format, layout)
    follow, poll_interval, timeout = check_follow_options(follow, poll_interval, timeout)
    first = check_index("start", start)
    last = None if stop is None else check_index("stop", stop)
    read_ahead = check_prefetch(prefetch)
    storage = check_storage_options(storage_options)
    return ReadOptions(
        format=format,
        columns=select_columns(format, columns),
        skip_damaged=skip_damaged,
        layout=cast(Layout, layout),
        read_ahead=read_ahead,
        step=step,
        start=first,
        stop=last,
        follow=follow,
        poll_interval=poll_interval,
        timeout=timeout,
        storage_options=storage,
        memory_map=bool(memory_map),
    )


def parse_step_size(step_size: int | str) -> tuple[Literal["events", "bytes"], int]:
    """("events", n) for an int, ("bytes", n) for a memory size such as "64 MiB" or "100 MB"."""
    if not isinstance(step_size, str):
        try:
            if isinstance(step_size, bool):
                raise TypeError
            step_size = operator.index(step_size)
        except TypeError:
            raise TypeError(
                f"step_size must be an int (events) or a str (a memory size such as "
                f"'64 MiB'), not {type(step_size).__name__!r}"
            ) from None
        if step_size < 1:
            raise ValueError(f"step_size must be at least 1 event, not {step_size}")
        return "events", step_size
    match = _SIZE.fullmatch(step_size)
    unit = match and _UNITS.get(match.group(2).lower())
    if not match or not unit:
        # "1e6" is meant as a count of events; taking it as one would make "100" (bytes)
        # and "1e2" two different things.
        if _is_number(step_size):
            raise ValueError(
                f"step_size {step_size!r} is not a memory size such as '64 MiB', and a count of "
                f"events is an int: {_as_count(step_size)}"
            )
        raise ValueError(f"step_size {step_size!r} is not a memory size such as '64 MiB' or '100 MB'")
    size = int(float(match.group(1)) * unit)
    if size < 1:
        raise ValueError(f"step_size must be at least 1 byte, not {step_size!r}")
    return "bytes", size


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _as_count(text: str) -> str:
    value = float(text)
    return f"{int(value):_}" if value.is_integer() and abs(value) < 1e18 else "an int"


def check_step(step_size: int | str) -> Step:
    """The limits of one batch of ``step_size`` (see parse_step_size)."""
    unit, size = parse_step_size(step_size)
    if isinstance(step_size, DefaultStepSize):
        return DefaultStep(None, size)
    return Step(size, None) if unit == "events" else Step(None, size)


def check_path(path: object) -> str:
    """The path as a str; TypeError for anything but a str or an os.PathLike giving a str."""
    if isinstance(path, (str, os.PathLike)):
        name = os.fspath(path)
        if isinstance(name, str):
            return name
    raise TypeError(f"path must be a str or an os.PathLike, not {type(path).__name__!r}")


def extension_of(path: str) -> str:
    """The extension that tells the format of ``path``, lower case: ".wd1" of "run.WD1.gz"."""
    root, extension = os.path.splitext(path)
    if extension.lower() in COMPRESSED:
        extension = os.path.splitext(root)[1]
    return extension.lower()


def format_of_paths(reader_type: str | None, paths: Sequence[str]) -> str:
    """``reader_type`` when given, else the format that the extensions of ``paths`` tell;
    ValueError when they tell none, or tell different ones."""
    if reader_type is not None:
        return reader_type
    unknown = [path for path in paths if extension_of(path) not in EXTENSIONS]
    if unknown or not paths:
        what = f"of {unknown[0]!r} from its name (.wd1 or .wd2, also .wd1.gz)" if paths else "without a path"
        raise ValueError(f"cannot tell the format {what}: give reader_type 'WD1' or 'WD2'")
    formats = {EXTENSIONS[extension_of(path)] for path in paths}
    if len(formats) > 1:
        raise ValueError("the files are of different formats by their names: give files of one format")
    return formats.pop()


def format_of_source(source: object, reader_type: str | None) -> str:
    """``reader_type``, else the format a path's extension tells (format_of_paths); a file
    object tells none."""
    if reader_type is not None:
        return reader_type
    if not isinstance(source, (str, os.PathLike)):
        raise ValueError("cannot tell the format of a file object: give reader_type 'WD1' or 'WD2'")
    return format_of_paths(None, [check_path(source)])


def check_format(reader_type: str) -> Format:
    if not isinstance(reader_type, str):
        raise TypeError(f"reader_type must be a str, not {type(reader_type).__name__!r}")
    if reader_type not in FORMATS:
        raise ValueError(f"unknown reader type {reader_type!r}, expected 'WD1' or 'WD2'")
    return cast(Format, reader_type)


def _check_seconds(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__!r}")
    if not value >= 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return float(value)


def check_errors(errors: str) -> Errors:
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return cast(Errors, errors)


def check_count(name: str, value: SupportsIndex) -> int:
    """An int (anything with ``__index__``, NumPy integers included) that is not negative."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not 'bool'")
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__!r}") from None
    if count < 0:
        raise ValueError(f"{name} must not be negative, not {count}")
    return count


def check_index(name: str, value: SupportsIndex) -> int:
    """An event index: a count, clamped to what a file can hold."""
    return min(check_count(name, value), _UINT64_MAX)


def check_layout(reader_type: str, layout: str | None) -> int:
    """The core's code for a WD2 layout: probed (None), "multi-channel" or "single-channel"."""
    if layout is not None and reader_type != "WD2":
        raise ValueError(f"layout applies to WD2 files only, not to {reader_type}")
    if layout not in _LAYOUTS:
        raise ValueError(f"layout must be None, 'multi-channel' or 'single-channel', not {layout!r}")
    return _LAYOUTS[layout]


def _usable_cores() -> int:
    getaffinity = getattr(os, "sched_getaffinity", None)
    return len(getaffinity(0)) if getaffinity is not None else os.cpu_count() or 1


def check_prefetch(prefetch: Prefetch) -> int:
    """The core's read-ahead mode (one of its READ_AHEAD_MODES): never, always, or for
    batches of small events."""
    modes = _core.READ_AHEAD_MODES
    if prefetch == "auto":
        # On one core the thread would only take turns with the caller (README, Streaming).
        return modes["small-events"] if _usable_cores() > 1 else modes["never"]
    mode = int(prefetch) if isinstance(prefetch, bool) else check_count("prefetch", prefetch)
    if mode > 1:
        raise ValueError(f"prefetch must be 0, 1 (batches read ahead) or 'auto', not {mode}")
    return modes["always"] if mode else modes["never"]


def check_follow_options(
    follow: bool, poll_interval: float, timeout: float | None
) -> tuple[bool, float, float | None]:
    return (
        bool(follow),
        _check_seconds("poll_interval", poll_interval),
        None if timeout is None else _check_seconds("timeout", timeout),
    )
