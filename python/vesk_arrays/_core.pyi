"""The C++ core of vesk_arrays: WD1 and WD2 files read in batches of columns."""

from typing import Any, final

import numpy as np
from numpy.typing import NDArray

from ._sources import ReadInto

# Of each damaged event met: (index, offset of its header, end of the bytes skipped for
# it, offset where reading went on or None, kind: 0 a damaged header, 1 a length past
# the end, 2 a length into good events, 3 a length nothing after it bears out).
_Damage = list[tuple[int, int, int, int | None, int]]
# (first_index, damaged, damaged_count, skipped ranges, error, at_end, stop_index, skipped_bytes)
_Report = tuple[int, _Damage, int, list[tuple[int, int]], BaseException | None, bool, int, int]

# {format: ((name, dtype name), ...)}: each format's header fields, in file order.
HEADER_FIELDS: dict[str, tuple[tuple[str, str], ...]]
# {format: dtype name} of the samples.
SAMPLE_DTYPES: dict[str, str]

# Into positions: each segment's position of its first least (greatest) sample, NaN
# counting as both; the samples uint16 or float32, the rest int64, every segment non-empty.
def first_extremes(
    samples: NDArray[Any],
    starts: NDArray[np.int64],
    lengths: NDArray[np.int64],
    positions: NDArray[np.int64],
    greatest: bool,
    /,
) -> None: ...

@final
class Reader:
    """Reads a path (a str) or a binary file object with readinto; ``name`` is what
    messages call it. ``layout``: 0 probes a WD2 file, 1 multi-channel, 2 single-channel.
    ``finite``: a file object that holds all its bytes already (not a pipe), in which the
    reader may look ahead to check a length."""

    def __new__(
        cls,
        source: str | ReadInto,
        format: str,
        name: str,
        follow: bool = ...,
        layout: int = ...,
        finite: bool = ...,
    ) -> Reader: ...
    # max_events, max_bytes, count and stop: None for no limit. read_ahead: 0 never, 1
    # always, 2 after batches of small events. Without samples the columns hold no "data"
    # and the offsets are None.
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
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def events_read(self) -> int: ...
    @property
    def trailing_bytes(self) -> int: ...
    @property
    def position(self) -> int: ...
    @property
    def layout(self) -> tuple[bool, int] | None:
        """WD2: (has_channel_field, channel_count) once known; None for WD1."""
