"""Batches joined into one: `concat`."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, TypeVar

import numpy as np
from numpy.typing import NDArray

from ._batch import Batch
from ._event_index import EventIndex, LazyIndex
from ._files import joined_files

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event

_Event_co = TypeVar("_Event_co", bound="WD1Event | WD2Event", covariant=True)


def concat(batches: Iterable[Batch[_Event_co]]) -> Batch[_Event_co]:
    """The events of ``batches``, one after another, as one batch (copied).

    The batches must have one format and the same columns. The result keeps their
    ``path`` when they all have the same one (else None, and ``files`` and
    ``file_index`` tell each event's file) and their events' indices in their files
    (``event_index``); ``start`` and ``stop`` span them.
    """
    parts = list(batches)
    if not parts:
        raise ValueError("concat needs at least one batch")
    for part in parts:
        if not isinstance(part, Batch):
            raise TypeError(f"concat joins Batches, not {type(part).__name__!r}")
    first = parts[0]
    names = list(first.keys())
    for part in parts[1:]:
        if part.format != first.format or list(part.keys()) != names:
            raise ValueError(
                f"concat joins batches of one format with the same columns: {first.format} {names} "
                f"and {part.format} {list(part.keys())}"
            )
    columns = {name: np.concatenate([part._columns[name] for part in parts]) for name in names}
    offsets = None
    if first._offsets is not None:
        offsets = np.zeros(sum(len(part) for part in parts) + 1, np.int64)
        np.cumsum(np.concatenate([np.diff(part.offsets) for part in parts]), out=offsets[1:])
    paths = {part.path for part in parts}
    path = paths.pop() if len(paths) == 1 else None
    filled = [part for part in parts if len(part)] or parts[:1]
    start, stop = min(p.start for p in filled), max(p.stop for p in filled)
    index: EventIndex
    if any(part._event_index is False for part in parts):
        index = False
    elif any(isinstance(part._event_index, LazyIndex) for part in parts):
        index = LazyIndex(lambda: _joined_indices(parts))
    elif (
        path is not None
        and all(part._event_index is None for part in filled)
        and all(part.stop == later.start for part, later in zip(filled, filled[1:]))
    ):
        index = None  # consecutive events of one file: still range(start, stop)
    else:
        index = np.concatenate([part.event_index for part in parts])
    result = first._like(columns, offsets, start, stop, index)
    result._path = path
    files = joined_files(parts)
    if files is not None:
        result._files = files
    return result


def _joined_indices(parts: Sequence[Batch[Any]]) -> NDArray[np.int64] | Literal[False]:
    try:
        return np.concatenate([part.event_index for part in parts])
    except ValueError:  # the indices of a part cannot be found
        return False
