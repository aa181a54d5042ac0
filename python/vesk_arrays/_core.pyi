"""The C++ core of vesk_arrays: WD1 and WD2 files read in batches of columns."""

from typing import Any, final

import numpy as np
from numpy.typing import NDArray

from . import _ReadInto

# (index, byte offset, reason) of each damaged event met.
_Damage = list[tuple[int, int, str]]

@final
class Reader:
    """Reads a path (a str) or a binary file object with readinto; ``name`` is what
    messages call it."""

    def __new__(cls, source: str | _ReadInto, format: str, name: str) -> Reader: ...
    # max_events, max_bytes and count: None for no limit.
    def read(
        self, max_events: int | None, max_bytes: int | None, skip_damaged: bool, /
    ) -> tuple[list[NDArray[Any]], NDArray[np.int64], _Damage]: ...
    def skip(self, count: int | None, skip_damaged: bool, /) -> tuple[int, _Damage]: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def events_read(self) -> int: ...
    @property
    def position(self) -> int: ...
    @property
    def layout(self) -> tuple[bool, int] | None:
        """WD2: (has_channel_field, channel_count); None for WD1."""

def register_damaged_error(cls: type[Exception], /) -> None: ...
