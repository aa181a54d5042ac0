"""Where a batch's events stand in their file: their indices, kept as an array, as a
range, as unknown, or as found only when first asked for."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any, Literal, Union

import numpy as np
from numpy.typing import NDArray


class LazyIndex:
    """Events' indices in their file found only when first asked for: finding them may mean
    reading the file again. `find` gives them, or False when they cannot be found; `pick`
    chooses among them (a slice, or positions) for a batch made from another."""

    __slots__ = ("_find", "_value")

    def __init__(self, find: Callable[[], NDArray[np.int64] | Literal[False]]) -> None:
        self._find: Callable[[], NDArray[np.int64] | Literal[False]] | None = find
        self._value: NDArray[np.int64] | Literal[False] = False

    def resolve(self) -> NDArray[np.int64] | Literal[False]:
        if self._find is not None:
            self._value, self._find = self._find(), None
        return self._value

    def pick(self, key: slice | NDArray[np.int64]) -> LazyIndex:
        return LazyIndex(lambda: _picked(self.resolve(), key))

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        # A batch crosses a process boundary with its indices found (or not).
        return _found, (self.resolve(),)


def _picked(
    index: NDArray[np.int64] | Literal[False], key: slice | NDArray[np.int64]
) -> NDArray[np.int64] | Literal[False]:
    return False if index is False else index[key]


def _found(index: NDArray[np.int64] | Literal[False]) -> NDArray[np.int64] | Literal[False]:
    return index


# A batch's indices in its file, as kept: see Batch._event_index.
EventIndex = Union["NDArray[np.int64]", None, Literal[False], LazyIndex]


def event_indices(
    start: int, stop: int, count: int, damage_records: Iterable[Any]
) -> NDArray[np.int64] | None | Literal[False]:
    """The indices in the file of a batch's `count` events, which run from `start` to
    `stop` less the damaged events among them: None when no event is missing, False when
    too many were damaged for the records to tell which."""
    if stop - start == count:
        return None
    damaged = [record.event_index for record in damage_records if start <= record.event_index < stop]
    indices: NDArray[np.int64] = np.setdiff1d(
        np.arange(start, stop, dtype=np.int64), damaged, assume_unique=True
    )
    return indices if len(indices) == count else False
