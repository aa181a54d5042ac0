"""Zero-copy reader of WD1 and WD2 waveform event files."""

from collections.abc import Iterator
from typing import Literal, TypedDict, TypeVar, final, overload

import numpy as np
from numpy.typing import NDArray

__version__: str

__all__ = ["EventReader"]

# The event dictionaries. These names exist for type checkers only: import them
# under `if typing.TYPE_CHECKING:`.

class WD1Event(TypedDict):
    event_size: int
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: NDArray[np.uint16]

class WD2Event(TypedDict):
    event_counter: int
    timestamp: int
    samples: int
    sampling_period: int
    channels: int
    data: NDArray[np.float32]

_Event = TypeVar("_Event", WD1Event, WD2Event, WD1Event | WD2Event)

@final
class EventReader(Iterator[_Event]):
    """EventReader(path, reader_type): iterate over the events of a "WD1" or "WD2" file."""

    @overload
    def __new__(cls, path: str, reader_type: Literal["WD1"]) -> EventReader[WD1Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: Literal["WD2"]) -> EventReader[WD2Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: str) -> EventReader[WD1Event | WD2Event]: ...
    def __iter__(self) -> EventReader[_Event]: ...
    def __next__(self) -> _Event: ...
