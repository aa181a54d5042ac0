"""Events chosen from a batch: a slice that shares the samples, or positions copied."""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal, TypeVar

import numpy as np
from numpy.typing import NDArray

from ._event_index import LazyIndex
from ._files import picked

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event

    from ._batch import Batch

_E = TypeVar("_E", bound="WD1Event | WD2Event")


def sliced(batch: Batch[_E], a: int, b: int) -> Batch[_E]:
    """Events a to b - 1, sharing the samples."""
    columns = {name: column[a:b] for name, column in batch._columns.items() if name != "data"}
    offsets = None
    if batch._offsets is not None:
        low, high = batch._offsets[a], batch._offsets[b]
        columns["data"] = batch._columns["data"][low:high]
        offsets = batch._offsets[a : b + 1] - low
    index = batch._event_index
    if isinstance(index, np.ndarray):
        index = index[a:b]
        start, stop = (int(index.min()), int(index.max()) + 1) if b > a else (batch._start, batch._start)
    elif index is None:
        start, stop = batch._start + a, batch._start + b
    else:
        if isinstance(index, LazyIndex):
            index = index.pick(slice(a, b))
        start, stop = batch._start, batch._stop
    return picked(batch, batch._like(columns, offsets, start, stop, index), slice(a, b))


def taken(batch: Batch[_E], positions: NDArray[np.int64], mask: NDArray[np.bool_] | None = None) -> Batch[_E]:
    """The events at ``positions``, copied (``mask`` the same choice as a mask, if it was one)."""
    columns = {name: column[positions] for name, column in batch._columns.items() if name != "data"}
    offsets = None
    if batch._offsets is not None:
        lengths = np.diff(batch._offsets)
        chosen = lengths[positions]
        offsets = np.zeros(len(positions) + 1, np.int64)
        np.cumsum(chosen, out=offsets[1:])
        data = batch._columns["data"]
        if len(lengths) and (lengths == lengths[0]).all():
            columns["data"] = data.reshape(len(lengths), int(lengths[0]))[positions].reshape(-1)
        elif mask is not None:
            columns["data"] = data[np.repeat(mask, lengths)]
        else:
            shift = np.repeat(batch._offsets[:-1][positions] - offsets[:-1], chosen)
            columns["data"] = data[np.arange(int(offsets[-1]), dtype=np.int64) + shift]
    index: NDArray[np.int64] | Literal[False] | LazyIndex
    if batch._event_index is False:
        index, start, stop = False, batch._start, batch._stop
    elif isinstance(batch._event_index, LazyIndex):
        index, start, stop = batch._event_index.pick(positions), batch._start, batch._stop
    else:
        index = batch.event_index[positions]
        start, stop = (int(index.min()), int(index.max()) + 1) if len(index) else (batch._start, batch._start)
    return picked(batch, batch._like(columns, offsets, start, stop, index), positions)
