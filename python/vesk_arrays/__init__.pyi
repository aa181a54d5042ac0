"""Many WD1 and WD2 events at once, as columnar NumPy arrays."""

import os
from collections.abc import Generator, ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from dataclasses import dataclass
from typing import (
    IO,
    Any,
    BinaryIO,
    Generic,
    Literal,
    Protocol,
    SupportsIndex,
    TypeVar,
    overload,
    type_check_only,
)

# The conversions' packages are optional and not all of them carry types: their
# results are precise where the package (or its stubs package) is typed, Any otherwise.
import awkward as ak  # type: ignore[import-untyped, import-not-found, unused-ignore]
import numpy as np
import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
from numpy.typing import ArrayLike, NDArray
from typing_extensions import Self, TypeAlias

from vesk import WD1Event, WD2Event

from . import dask as dask

__version__: str

__all__ = [
    "Batch",
    "BatchReader",
    "DamagedEventError",
    "DamagedEventWarning",
    "Report",
    "iterate",
    "num_events",
    "read",
    "to_parquet",
]

# A batch and a reader are parametrised by the dictionary of one of their events:
# Batch[WD1Event], Batch[WD2Event], or Batch[WD1Event | WD2Event] when the format is
# known only at run time (as for vesk.EventReader).
_Event_co = TypeVar("_Event_co", bound=WD1Event | WD2Event, covariant=True)
_AnyEvent: TypeAlias = WD1Event | WD2Event

@type_check_only
class _ReadInto(Protocol):
    """A binary file object read as a stream: io.BytesIO, open(path, "rb"), gzip.open(path)."""

    def readinto(self, buffer: memoryview, /) -> int | None: ...

_Path: TypeAlias = str | os.PathLike[str]
# sys.stdin.buffer is typed BinaryIO, which does not declare readinto.
_Source: TypeAlias = _Path | _ReadInto | BinaryIO
_Paths: TypeAlias = _Path | Iterable[_Path]
_Format: TypeAlias = Literal["WD1", "WD2"]
_Errors: TypeAlias = Literal["raise", "skip"]
_Layout: TypeAlias = Literal["multi-channel", "single-channel"] | None
_T = TypeVar("_T")
_WD1Header: TypeAlias = Literal[
    "event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"
]
_Samples: TypeAlias = NDArray[np.uint16] | NDArray[np.float32]

class Batch(Generic[_Event_co]):
    """Consecutive events of one file, as NumPy columns."""

    def __contains__(self, key: object) -> bool: ...
    def keys(self) -> KeysView[str]: ...
    def values(self) -> ValuesView[NDArray[Any]]: ...
    def items(self) -> ItemsView[str, NDArray[Any]]: ...
    @overload
    def get(self, key: str, /) -> NDArray[Any] | None: ...
    @overload
    def get(self, key: str, default: _T, /) -> NDArray[Any] | _T: ...
    @overload
    def __init__(
        self: Batch[WD1Event],
        format: Literal["WD1"],
        columns: Mapping[str, NDArray[Any]],
        offsets: ArrayLike,
        *,
        path: str | None = None,
        start: int = 0,
        stop: int | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self: Batch[WD2Event],
        format: Literal["WD2"],
        columns: Mapping[str, NDArray[Any]],
        offsets: ArrayLike,
        *,
        path: str | None = None,
        start: int = 0,
        stop: int | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self: Batch[_AnyEvent],
        format: str,
        columns: Mapping[str, NDArray[Any]],
        offsets: ArrayLike,
        *,
        path: str | None = None,
        start: int = 0,
        stop: int | None = None,
    ) -> None: ...
    @overload
    @classmethod
    def empty(cls, format: Literal["WD1"], *, path: str | None = None, start: int = 0) -> Batch[WD1Event]: ...
    @overload
    @classmethod
    def empty(cls, format: Literal["WD2"], *, path: str | None = None, start: int = 0) -> Batch[WD2Event]: ...
    @overload
    @classmethod
    def empty(cls, format: str, *, path: str | None = None, start: int = 0) -> Batch[_AnyEvent]: ...

    # The columns: "data" holds the samples; the header fields have the integer widths
    # of vesk.EventReader's dictionaries.
    @overload
    def __getitem__(self: Batch[WD1Event], key: Literal["data"]) -> NDArray[np.uint16]: ...
    @overload
    def __getitem__(self: Batch[WD1Event], key: _WD1Header) -> NDArray[np.int32]: ...
    @overload
    def __getitem__(self: Batch[WD2Event], key: Literal["data"]) -> NDArray[np.float32]: ...
    @overload
    def __getitem__(
        self: Batch[WD2Event], key: Literal["event_counter", "samples"]
    ) -> NDArray[np.uint32]: ...
    @overload
    def __getitem__(
        self: Batch[WD2Event], key: Literal["timestamp", "sampling_period"]
    ) -> NDArray[np.uint64]: ...
    @overload
    def __getitem__(self: Batch[WD2Event], key: Literal["channels"]) -> NDArray[np.int32]: ...
    @overload
    def __getitem__(self, key: Literal["data"]) -> _Samples: ...
    @overload
    def __getitem__(self, key: str) -> NDArray[Any]: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    @property
    def format(self) -> _Format: ...
    @property
    def offsets(self) -> NDArray[np.int64]: ...
    @property
    def path(self) -> str | None: ...
    @property
    def start(self) -> int: ...
    @property
    def stop(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    def event(self, index: SupportsIndex) -> _Event_co: ...
    @overload
    def waveforms(self: Batch[WD1Event]) -> NDArray[np.uint16]: ...
    @overload
    def waveforms(self: Batch[WD2Event]) -> NDArray[np.float32]: ...
    @overload
    def waveforms(self) -> _Samples: ...
    def to_arrow(self) -> pa.Table: ...
    def to_pandas(self) -> pd.DataFrame: ...
    def to_awkward(self) -> ak.Array: ...

class DamagedEventError(ValueError):
    """An event whose header cannot be trusted: its length cannot be represented, or runs
    past the end of the file although good events follow."""

    path: str
    index: int
    offset: int
    reason: str
    skipped: tuple[int, int] | None
    resume_at: int | None
    def __init__(
        self,
        path: str,
        index: int,
        offset: int,
        reason: str,
        skipped: tuple[int, int] | None = None,
        resume_at: int | None = None,
    ) -> None: ...

class DamagedEventWarning(UserWarning):
    """Damaged events were skipped (``errors="skip"``)."""

class BatchReader(Generic[_Event_co]):
    """Reads one WD1 or WD2 file in batches of consecutive events."""

    @overload
    def __init__(
        self: BatchReader[WD1Event],
        source: _Source,
        reader_type: Literal["WD1"],
        *,
        errors: _Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: _Layout = None,
    ) -> None: ...
    @overload
    def __init__(
        self: BatchReader[WD2Event],
        source: _Source,
        reader_type: Literal["WD2"],
        *,
        errors: _Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: _Layout = None,
    ) -> None: ...
    @overload
    def __init__(
        self: BatchReader[_AnyEvent],
        source: _Source,
        reader_type: str,
        *,
        errors: _Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: _Layout = None,
    ) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def format(self) -> _Format: ...
    @property
    def closed(self) -> bool: ...
    @property
    def damaged(self) -> list[DamagedEventError]: ...
    @property
    def damaged_count(self) -> int: ...
    @property
    def skipped(self) -> tuple[tuple[int, int], ...]: ...
    @property
    def trailing_bytes(self) -> int: ...
    @property
    def skipped_bytes(self) -> int: ...
    @property
    def events_read(self) -> int: ...
    @property
    def position(self) -> int: ...
    @property
    def has_channel_field(self) -> bool | None: ...
    @property
    def channel_count(self) -> int | None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def read(self, max_events: SupportsIndex) -> Batch[_Event_co]: ...
    def batches(self, step_size: int | str = "64 MiB") -> Generator[Batch[_Event_co]]: ...
    def skip(self, count: SupportsIndex) -> int: ...
    def skip_to(self, index: SupportsIndex) -> int: ...
    def read_range(self, stop: SupportsIndex | None = None) -> Batch[_Event_co]: ...
    def raise_pending(self) -> None: ...

@overload
def read(
    source: _Source,
    reader_type: Literal["WD1"],
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: _Errors = "raise",
    layout: _Layout = None,
) -> Batch[WD1Event]: ...
@overload
def read(
    source: _Source,
    reader_type: Literal["WD2"],
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: _Errors = "raise",
    layout: _Layout = None,
) -> Batch[WD2Event]: ...
@overload
def read(
    source: _Source,
    reader_type: str,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: _Errors = "raise",
    layout: _Layout = None,
) -> Batch[_AnyEvent]: ...

@dataclass(frozen=True)
class Report:
    """What reading one batch met, given with it by ``iterate(..., report=True)``."""

    path: str
    file_index: int
    events: range
    rows: range
    damaged: tuple[DamagedEventError, ...] = ()
    error: Exception | None = None
    skipped: tuple[tuple[int, int], ...] = ()
    trailing_bytes: int = 0
    damaged_count: int = 0
    skipped_bytes: int = 0
    @property
    def ok(self) -> bool: ...

@overload
def iterate(
    paths: _Paths,
    reader_type: Literal["WD1"],
    *,
    step_size: int | str = "64 MiB",
    report: Literal[False] = False,
    errors: _Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: _Layout = None,
) -> Generator[Batch[WD1Event]]: ...
@overload
def iterate(
    paths: _Paths,
    reader_type: Literal["WD2"],
    *,
    step_size: int | str = "64 MiB",
    report: Literal[False] = False,
    errors: _Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: _Layout = None,
) -> Generator[Batch[WD2Event]]: ...
@overload
def iterate(
    paths: _Paths,
    reader_type: str,
    *,
    step_size: int | str = "64 MiB",
    report: Literal[False] = False,
    errors: _Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: _Layout = None,
) -> Generator[Batch[_AnyEvent]]: ...
@overload
def iterate(
    paths: _Paths,
    reader_type: Literal["WD1"],
    *,
    step_size: int | str = "64 MiB",
    report: Literal[True],
    errors: _Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: _Layout = None,
) -> Generator[tuple[Batch[WD1Event], Report]]: ...
@overload
def iterate(
    paths: _Paths,
    reader_type: Literal["WD2"],
    *,
    step_size: int | str = "64 MiB",
    report: Literal[True],
    errors: _Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: _Layout = None,
) -> Generator[tuple[Batch[WD2Event], Report]]: ...
@overload
def iterate(
    paths: _Paths,
    reader_type: str,
    *,
    step_size: int | str = "64 MiB",
    report: Literal[True],
    errors: _Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: _Layout = None,
) -> Generator[tuple[Batch[_AnyEvent], Report]]: ...
@overload
def iterate(
    paths: _Paths,
    reader_type: str,
    *,
    step_size: int | str = "64 MiB",
    report: bool = False,
    errors: _Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: _Layout = None,
) -> Generator[Batch[_AnyEvent]] | Generator[tuple[Batch[_AnyEvent], Report]]: ...
def num_events(paths: _Paths, reader_type: str, *, layout: _Layout = None) -> int: ...
def to_parquet(
    paths: _Paths,
    reader_type: str,
    destination: _Path | IO[bytes],
    *,
    step_size: int | str = "64 MiB",
    compression: str | dict[str, str] | None = "zstd",
    progress: bool = False,
    errors: _Errors = "raise",
    layout: _Layout = None,
) -> int: ...
