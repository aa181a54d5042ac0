"""The C++ core of vesk_arrays: WD1 and WD2 files read in batches of columns."""

import sys
from typing import Any, Final, final

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Buffer

from ._sources import ReadInto

# The names of the damage kinds: "header" a damaged header, "overlong" a length past the
# end, "overlaps" a length into good events, "unconfirmed" a length nothing after it
# bears out.
DAMAGE_KINDS: Final[tuple[str, ...]]
# {format: why a header of that format is damaged}
DAMAGED_HEADER_REASONS: Final[dict[str, str]]
# {name: value} of Reader's layout and read_ahead arguments.
LAYOUTS: Final[dict[str, int]]
READ_AHEAD_MODES: Final[dict[str, int]]
# Records are kept for this many damaged events (and skipped ranges) of a call.
MAX_DAMAGE_RECORDS: Final[int]

@final
class Damage(tuple[int, int, int, int | None, str]):
    """One damaged event met by a call."""

    if sys.version_info >= (3, 10):
        __match_args__: Final = ("event_index", "offset", "stop", "resume_at", "kind")
    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    def __new__(
        cls, sequence: tuple[int, int, int, int | None, str], dict: dict[str, Any] = ...
    ) -> Damage: ...
    @property
    def event_index(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def stop(self) -> int: ...
    @property
    def resume_at(self) -> int | None: ...
    @property
    def kind(self) -> str: ...

_Damage = list[Damage]

@final
class MappedSamples(tuple[NDArray[np.uint8], NDArray[np.int64], int]):
    """Where the samples of a batch of a mapped file lie."""

    if sys.version_info >= (3, 10):
        __match_args__: Final = ("mapping", "starts", "stride")
    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    def __new__(
        cls, sequence: tuple[NDArray[np.uint8], NDArray[np.int64], int], dict: dict[str, Any] = ...
    ) -> MappedSamples: ...
    @property
    def mapping(self) -> NDArray[np.uint8]: ...
    @property
    def starts(self) -> NDArray[np.int64]: ...
    @property
    def stride(self) -> int: ...

@final
class Report(tuple[int, _Damage, int, list[tuple[int, int]], BaseException | None, bool, int, int]):
    """What a read or skip met besides its events."""

    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "first_index",
            "damaged",
            "damaged_count",
            "skipped",
            "error",
            "at_end",
            "stop_index",
            "skipped_bytes",
        )
    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    def __new__(
        cls,
        sequence: tuple[int, _Damage, int, list[tuple[int, int]], BaseException | None, bool, int, int],
        dict: dict[str, Any] = ...,
    ) -> Report: ...
    @property
    def first_index(self) -> int: ...
    @property
    def damaged(self) -> _Damage: ...
    @property
    def damaged_count(self) -> int: ...
    @property
    def skipped(self) -> list[tuple[int, int]]: ...
    @property
    def error(self) -> BaseException | None: ...
    @property
    def at_end(self) -> bool: ...
    @property
    def stop_index(self) -> int: ...
    @property
    def skipped_bytes(self) -> int: ...

_Report = Report

# {format: ((name, dtype name), ...)}: each format's header fields, in file order.
HEADER_FIELDS: dict[str, tuple[tuple[str, str], ...]]
# {format: dtype name} of the samples.
SAMPLE_DTYPES: dict[str, str]

# op of each segment's samples[start:stop] into results (see vesk_arrays._samples): samples
# "H" (uint16) or "f" (float32); starts (in bytes) and lengths (in samples) int64; float sums
# in blocks of sum_block samples, but where aligned and sums_aligned_whole; empty None or an
# array of one result. The first segment left without a value when empty is None, else -1.
def reduce_segments(
    buffer: Buffer,
    sample: str,
    starts: NDArray[np.int64],
    lengths: NDArray[np.int64],
    op: str,
    start: int,
    stop: int,
    sum_block: int,
    sums_aligned_whole: bool,
    empty: NDArray[Any] | None,
    results: NDArray[Any],
    /,
) -> int: ...

@final
class Reader:
    """Reads a path (a str) or a binary file object with readinto; ``name`` is what
    messages call it. ``layout``: one of LAYOUTS' values.
    ``finite``: a file object that holds all its bytes already (not a pipe), in which the
    reader may look ahead to check a length. ``size`` (of a file object with
    ``readinto_at(offset, buffer)``, a ranged file) makes the reader read it at offsets,
    as a regular file, skipping what it does not want. ``memory_map``: map a path that names a
    regular file, whose batches' "data" is then (the mapping as uint8, the byte where
    each event's samples start in it, their stride: the bytes from one event's samples to
    the next's when all are of one length and lie equally far apart, else -1)."""

    def __new__(
        cls,
        source: str | ReadInto,
        format: str,
        name: str,
        follow: bool = ...,
        layout: int = ...,
        finite: bool = ...,
        size: int = ...,
        memory_map: bool = ...,
    ) -> Reader: ...
    # max_events, max_bytes, count and stop: None for no limit. read_ahead: one of
    # READ_AHEAD_MODES' values. Without samples the columns hold no "data"
    # and the offsets are None. (A mapped file's "data" is a tuple: see the class.)
    def read(
        self,
        max_events: int | None,
        max_bytes: int | None,
        skip_damaged: bool,
        stop: int | None,
        read_ahead: int = 0,
        samples: bool = True,
        /,
    ) -> tuple[tuple[dict[str, NDArray[Any]], NDArray[np.int64] | None] | None, _Report]: ...
    def skip(self, count: int | None, skip_damaged: bool, stop: int | None, /) -> tuple[int, _Report]: ...
    # The last batch read is read again by the next call (False: it cannot be).
    def put_back(self) -> bool: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def events_read(self) -> int: ...
    # Whether the samples stay in the file's mapping (memory_map=True, a regular file).
    @property
    def mapped(self) -> bool: ...
    @property
    def trailing_bytes(self) -> int: ...
    @property
    def position(self) -> int: ...
    @property
    def layout(self) -> tuple[bool, int] | None:
        """WD2: (has_channel_field, channel_count) once known; None for WD1."""
