"""Batches of a mapped file (``memory_map=True``): the samples stay in the file's mapping.

The core records where each event's samples start in the mapping instead of copying them
(a batch's "data" comes from it as (mapping, starts, stride): the stride when the events are
of one length and lie equally far apart, else -1). ``waveforms()`` of events of
one shape that follow each other is then a strided view of the mapping, ``event(i)["data"]``
a view of event i's samples; ``batch["data"]`` (and what is made of it: Arrow, pandas,
Parquet) is a contiguous copy, made when first asked for. Every array over the mapping holds
it: it stays mapped until the last of them is gone, after the reader is closed too. The
mapping is private: writing to an array changes neither the file nor another batch.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, NamedTuple, SupportsIndex

import numpy as np
from numpy.typing import NDArray

from ._batch import Batch
from ._samples import Segments, segments_of, waveforms_of
from ._schema import SAMPLE_DTYPES
from ._select import sliced
from ._types import Pad

if TYPE_CHECKING:
    from ._event_index import EventIndex


_ZERO = bytes(8)


class MappedSamples(NamedTuple):
    """Where a batch's samples lie: the whole mapping as uint8, the byte at which each
    event's samples start in it, and the bytes from one event's samples to the next's
    when the events are of one length and lie equally far apart (else -1)."""

    mapping: NDArray[np.uint8]
    starts: NDArray[np.int64]
    stride: int = -1


class MappedColumns(dict):  # type: ignore[type-arg]
    """A mapped batch's columns: the header columns, and "data" (in its place, last),
    which holds the MappedSamples until its contiguous copy is first asked for."""

    __slots__ = ("places", "offsets", "dtype")

    def __init__(self, columns: dict[str, Any], offsets: NDArray[np.int64], dtype: np.dtype[Any]) -> None:
        super().__init__(columns)
        self.places: MappedSamples = columns["data"]
        self.offsets = offsets
        self.dtype = dtype

    def __getitem__(self, key: str) -> Any:
        value = dict.__getitem__(self, key)
        if isinstance(value, MappedSamples):
            value = contiguous(value, self.offsets, self.dtype)
            dict.__setitem__(self, key, value)
        return value

    def get(self, key: str, default: Any = None) -> Any:
        return self[key] if key in self else default

    def values(self) -> Any:
        self.get("data")
        return dict.values(self)

    def items(self) -> Any:
        self.get("data")
        return dict.items(self)


def views(samples: MappedSamples, dtype: np.dtype[Any], shape: tuple[int, ...], stride: int) -> NDArray[Any]:
    """Events of one ``shape`` (event first) whose samples start ``stride`` bytes apart, from
    the first event's, as one view of the mapping."""
    inner = [dtype.itemsize]
    for size in reversed(shape[2:]):
        inner.insert(0, inner[0] * size)
    start = int(samples.starts[0]) if len(samples.starts) else 0
    return np.ndarray(shape, dtype, samples.mapping, start, (stride, *inner))


def _runs(samples: MappedSamples, lengths: NDArray[np.int64]) -> list[tuple[int, int]]:
    """(first, stop) of each run of events of one length whose samples lie equally apart."""
    steps = np.diff(samples.starts)
    breaks = np.flatnonzero((lengths[1:] != lengths[:-1]) | (np.diff(steps, prepend=steps[:1]) != 0)) + 1
    bounds = [0, *breaks.tolist(), len(lengths)]
    return list(zip(bounds[:-1], bounds[1:])) if len(lengths) else []


def contiguous(samples: MappedSamples, offsets: NDArray[np.int64], dtype: np.dtype[Any]) -> NDArray[Any]:
    """Every sample, event after event, copied out of the mapping: a run of events of one
    length at a time."""
    out = np.empty(int(offsets[-1]), dtype)
    lengths = np.diff(offsets)
    for first, stop in _runs(samples, lengths):
        count = int(lengths[first])
        stride = int(samples.starts[first + 1] - samples.starts[first]) if stop - first > 1 else 0
        part = MappedSamples(samples.mapping, samples.starts[first:stop])
        block = out[offsets[first] : offsets[stop]].reshape(stop - first, count)
        block[...] = views(part, dtype, (stop - first, count), stride)
    return out


class MappedBatch(Batch[Any]):
    """A batch whose samples stay in its file's mapping (see the module's docstring)."""

    __slots__ = ()

    def _sample_places(self) -> tuple[NDArray[np.uint8], NDArray[np.int64], NDArray[np.int64]]:
        """(the mapping as uint8, the byte at which each event's samples start in it, each
        event's count of samples): for kernels that read the samples where they lie."""
        samples = self._mapped()
        return samples.mapping, samples.starts, np.diff(self.offsets)

    def _segments(self) -> Segments:
        """Where each event's (channel's) samples lie in the mapping, for :meth:`reduce`,
        which reads them there."""
        mapping, starts, _ = self._sample_places()
        return segments_of(self, (mapping, starts))

    def _mapped(self) -> MappedSamples:
        return self._columns.places  # type: ignore[attr-defined, no-any-return]

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, slice):
            start, stop, step = key.indices(len(self))
            if step == 1:
                return _sliced(self, start, max(start, stop))
        return super().__getitem__(key)

    def _like(
        self,
        columns: dict[str, NDArray[Any]],
        offsets: NDArray[np.int64] | None,
        start: int,
        stop: int,
        event_index: EventIndex,
    ) -> Batch[Any]:
        # Events taken by position are copied: a plain batch.
        return _made(Batch, self._format, columns, offsets, self._path, start, stop, event_index)

    def waveforms(self, pad: Pad = None, *, length: int | None = None, clip: bool = False) -> NDArray[Any]:
        """As :meth:`Batch.waveforms`, but without ``pad`` a strided view of the file's
        mapping, not of ``batch["data"]``, when the events follow each other in the file
        (damage skipped between them: copied)."""
        if pad is not None or length is not None:
            return super().waveforms(pad, length=length, clip=clip)
        samples = self._mapped()
        dtype = SAMPLE_DTYPES[self._format]
        stride, starts = samples.stride, samples.starts
        if stride >= 0 and self._format == "WD1":
            # Events of one length, equally far apart (the core checked): one view at once.
            first, per_event = (int(starts[0]), int(self.offsets[1])) if len(starts) else (0, 0)
            shape, strides = (len(starts), per_event), (stride, dtype.itemsize)
            return np.ndarray(shape, dtype, samples.mapping, first, strides)
        # The shape, and the errors of events of different shapes, as for any batch: from
        # samples that all lie at one place (a stride of 0), which costs nothing to make.
        shape = waveforms_of(self, np.ndarray((int(self.offsets[-1]),), dtype, _ZERO, 0, (0,))).shape
        if stride < 0:
            steps = starts[1:] - starts[:-1]
            if len(steps) and not (steps == steps[0]).all():
                return waveforms_of(self)
            stride = int(steps[0]) if len(steps) else dtype.itemsize * int(np.prod(shape[1:]))
        return views(samples, dtype, shape, stride)

    def event(self, index: SupportsIndex) -> Any:
        """As :meth:`Batch.event`; its ``"data"`` is a view of the file's mapping."""
        position, count = operator.index(index), len(self)
        position += count if position < 0 else 0
        if not 0 <= position < count:
            raise IndexError(f"event index out of range for a batch of {count} events")
        event: dict[str, Any] = {name: column[position].item() for name, column in _headers(self).items()}
        samples = self._mapped()
        count = int(self.offsets[position + 1] - self.offsets[position])
        place = MappedSamples(samples.mapping, samples.starts[position : position + 1])
        event["data"] = views(place, SAMPLE_DTYPES[self._format], (1, count), 0)[0]
        return event

    @property
    def nbytes(self) -> int:
        """Bytes held by the batch's arrays: not the mapping, unless "data" was copied out."""
        total = sum(column.nbytes for column in dict.values(self._columns) if isinstance(column, np.ndarray))
        total += self.offsets.nbytes + self._mapped().starts.nbytes
        if isinstance(self._event_index, np.ndarray):
            total += self._event_index.nbytes
        return int(total)

    def __reduce__(self) -> Any:
        # Across processes a batch travels with its samples, not with the file's mapping.
        columns = dict(self._columns.items())
        fields = (self._format, columns, self._offsets, self._path, self._start, self._stop)
        return _made, (Batch, *fields, self._event_index)


def _headers(batch: Batch[Any]) -> dict[str, NDArray[Any]]:
    return {name: column for name, column in dict.items(batch._columns) if name != "data"}


def _made(
    cls: type[Batch[Any]],
    format: str,
    columns: dict[str, Any],
    offsets: NDArray[np.int64] | None,
    path: str | None,
    start: int,
    stop: int,
    event_index: EventIndex,
) -> Batch[Any]:
    batch: Batch[Any] = object.__new__(cls)
    batch._format, batch._columns, batch._offsets = format, columns, offsets
    batch._path, batch._start, batch._stop, batch._event_index = path, start, stop, event_index
    return batch


def mapped_batch(
    format: str,
    columns: dict[str, Any],
    offsets: NDArray[np.int64],
    path: str | None,
    start: int,
    stop: int,
    event_index: EventIndex,
) -> Batch[Any]:
    """The batch of what the core read from a mapped file ("data": a _core.MappedSamples)."""
    given = columns["data"]
    columns["data"] = MappedSamples(given.mapping, given.starts, given.stride)
    mapped = MappedColumns(columns, offsets, SAMPLE_DTYPES[format])
    return _made(MappedBatch, format, mapped, offsets, path, start, stop, event_index)


def _sliced(batch: MappedBatch, a: int, b: int) -> Batch[Any]:
    """Events a to b - 1, still over the mapping."""
    fields = (batch._format, _headers(batch), None, batch._path, batch._start, batch._stop)
    head = sliced(_made(Batch, *fields, batch._event_index), a, b)
    samples = batch._mapped()
    offsets = batch.offsets[a : b + 1] - batch.offsets[a]
    columns: dict[str, Any] = dict(head._columns)
    columns["data"] = MappedSamples(samples.mapping, samples.starts[a:b], samples.stride if b - a > 1 else -1)
    mapped = MappedColumns(columns, offsets, SAMPLE_DTYPES[batch._format])
    return _made(
        MappedBatch, batch._format, mapped, offsets, batch._path, head._start, head._stop, head._event_index
    )
