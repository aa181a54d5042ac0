"""Which file each event of a batch came from, for a batch of events of several files
(:func:`read` of many files, :func:`concat`): ``Batch.files`` and ``Batch.file_index``.

A batch of one file (or of none) leaves its ``_files`` slot unset: its events' file is its
``path``, and nothing per event is stored for the many batches of one file."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event

    from ._batch import Batch

_E = TypeVar("_E", bound="WD1Event | WD2Event")


class Files(NamedTuple):
    """The files of a batch's events, in order of first appearance, and each event's
    position among them (-1: an event of no file, from a batch built by hand)."""

    paths: tuple[str, ...]
    positions: NDArray[np.intp]


def _joined(batch: Batch[Any]) -> Files | None:
    return getattr(batch, "_files", None)


def file_index_nbytes(batch: Batch[Any]) -> int:
    """Bytes held by the batch's file index: none for a batch of one file, which stores none."""
    joined = _joined(batch)
    return 0 if joined is None else int(joined.positions.nbytes)


def files_of(batch: Batch[Any]) -> tuple[str, ...]:
    joined = _joined(batch)
    if joined is not None:
        return joined.paths
    return () if batch.path is None else (batch.path,)


def file_index_of(batch: Batch[Any]) -> NDArray[np.intp]:
    joined = _joined(batch)
    if joined is not None:
        return joined.positions
    index = np.full(len(batch), -1 if batch.path is None else 0, np.intp)
    index.setflags(write=False)
    return index


def _files(paths: tuple[str, ...], index: NDArray[np.intp]) -> Files:
    index.setflags(write=False)
    return Files(paths, index)


def picked(source: Batch[Any], result: Batch[_E], key: slice | NDArray[np.int64]) -> Batch[_E]:
    """``result``, events ``key`` of ``source``, with the files of those events."""
    joined = _joined(source)
    if joined is not None:
        result._files = _files(joined.paths, joined.positions[key])
    return result


def joined_files(parts: Sequence[Batch[Any]]) -> Files | None:
    """The files of the events of ``parts`` joined one after another; None when they are
    all of one file (or all of none), which the joined batch's ``path`` then tells."""
    if all(_joined(part) is None for part in parts) and len({part.path for part in parts}) == 1:
        return None
    paths: dict[str, int] = {}
    indices = []
    for part in parts:
        own = files_of(part)
        # Each part's file positions mapped to the joined list's; -1 stays -1.
        where = np.array([paths.setdefault(path, len(paths)) for path in own] + [-1], np.intp)
        indices.append(where[file_index_of(part)])
    return _files(tuple(paths), np.concatenate(indices) if indices else np.empty(0, np.intp))
