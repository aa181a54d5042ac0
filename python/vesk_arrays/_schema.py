"""The columns of each format, and helpers that read them: what every other module of the
package takes the fields, dtypes and column names from."""

from __future__ import annotations

import operator
from collections.abc import KeysView, Mapping, Sequence
from typing import Any, Literal, Protocol, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

import vesk_arrays._core as _core

# The columns of each format: the header fields, in file order, with their dtypes; then "data".
HEADER_FIELDS = {
    format: tuple((name, np.dtype(dtype)) for name, dtype in fields)
    for format, fields in _core.HEADER_FIELDS.items()
}
SAMPLE_DTYPES = {format: np.dtype(dtype) for format, dtype in _core.SAMPLE_DTYPES.items()}
FORMATS = tuple(HEADER_FIELDS)

# An alias, not an annotation, so spelt for Python 3.9.
Format = Literal["WD1", "WD2"]

# The header fields that give an event's size in the file.
SIZE_FIELDS = {"WD1": ("event_size",), "WD2": ("samples", "channels")}


class EventColumns(Protocol):
    """What the column helpers and the conversions read of a batch: its format, its columns
    by name and the offsets of its events' samples."""

    @property
    def format(self) -> str: ...

    @property
    def offsets(self) -> NDArray[np.int64]: ...

    def __getitem__(self, key: str, /) -> NDArray[Any]: ...

    def __contains__(self, key: object, /) -> bool: ...

    def __len__(self) -> int: ...

    def keys(self) -> KeysView[str]: ...


def column_names(format: str) -> list[str]:
    """Every column a batch of this format can hold, in their order."""
    return [name for name, _ in HEADER_FIELDS[format]] + ["data"]


def select_columns(reader_type: str, columns: Sequence[str] | None) -> tuple[str, ...]:
    """The names of the columns to read, in the order of the file: all of them for None.
    A WD2 batch with ``data`` holds ``samples`` and ``channels`` too, which give its shape."""
    names = column_names(reader_type)
    if columns is None:
        return tuple(names)
    if isinstance(columns, (str, bytes)):
        raise TypeError(f"columns must be a list of column names, not {type(columns).__name__!r}")
    wanted = list(columns)
    unknown = [name for name in wanted if name not in names]
    if unknown:
        raise ValueError(f"a {reader_type} batch has no column {unknown[0]!r}; its columns are {names}")
    if not wanted:
        raise ValueError(f"columns must name at least one column of {names}")
    if reader_type == "WD2" and "data" in wanted:
        wanted += ["samples", "channels"]
    return tuple(name for name in names if name in wanted)


def event_spans(
    reader_type: str, sizes: tuple[NDArray[Any], ...], has_channel_field: bool | None
) -> NDArray[np.int64]:
    """The bytes each event takes in the file, from its header fields (SIZE_FIELDS)."""
    spans: NDArray[np.int64]
    if reader_type == "WD1":
        # The header and its samples, and the pad byte of an odd size.
        spans = np.maximum(sizes[0].astype(np.int64), 24)
    else:
        samples, channels = sizes
        header = 28 if has_channel_field else 24
        spans = header + samples.astype(np.int64) * np.maximum(channels, 0).astype(np.int64) * 4
    return spans


def channel_counts(batch: EventColumns) -> NDArray[np.int64]:
    """WD2: each event's number of channels, as its samples give it (its ``channels`` field
    when it has none: the field is all there is then)."""
    samples = batch["samples"].astype(np.int64)
    lengths = np.diff(batch.offsets)
    counts = np.maximum(batch["channels"].astype(np.int64), 0)
    has = samples > 0
    counts[has] = lengths[has] // samples[has]
    wrong = np.flatnonzero(counts * samples != lengths)
    if len(wrong):
        i = int(wrong[0])
        raise ValueError(
            f"event {i} holds {int(lengths[i])} samples, not a whole number of channels of "
            f"{int(samples[i])} samples"
        )
    return counts


def channel_segments(
    batch: EventColumns,
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int64] | None, tuple[int, int]]:
    """(start, length) of every channel of every event, where each goes in an events x
    channels result (None: in order, filling it), and the result's shape."""
    counts = channel_counts(batch)
    samples = batch["samples"].astype(np.int64)
    width = int(counts.max()) if len(counts) else 0
    events = np.repeat(np.arange(len(counts)), counts)
    first = np.repeat(np.cumsum(counts) - counts, counts)
    channel = np.arange(len(events)) - first
    starts = batch.offsets[:-1][events] + channel * samples[events]
    places = None if (counts == width).all() else events * width + channel
    return starts, samples[events], places, (len(counts), width)


def checked_parts(
    format: str,
    columns: Mapping[str, NDArray[Any]],
    offsets: ArrayLike | None,
    event_index: ArrayLike | None,
    start: SupportsIndex | None,
    stop: SupportsIndex | None,
) -> tuple[NDArray[np.int64] | None, NDArray[np.int64] | None, int]:
    """The offsets and event indices of a batch made of these parts, as arrays, and its
    number of events; ValueError for parts that do not fit the format or each other."""
    if format not in HEADER_FIELDS:
        raise ValueError(f"unknown reader type {format!r}, expected 'WD1' or 'WD2'")
    canonical = column_names(format)
    names = list(columns)
    if names != [name for name in canonical if name in columns]:
        raise ValueError(f"a {format} batch has columns among {canonical}, in that order, not {names}")
    has_data = "data" in columns
    if has_data and offsets is None:
        raise ValueError("a batch with 'data' needs the offsets of its events' samples")
    if has_data and format == "WD2" and not {"samples", "channels"} <= set(names):
        raise ValueError("a WD2 batch with 'data' needs 'samples' and 'channels', which give its shape")
    index = None if event_index is None else np.asarray(event_index, dtype=np.int64)
    if offsets is not None:
        offsets = np.asarray(offsets, dtype=np.int64)
        count = len(offsets) - 1
        if offsets.ndim != 1 or count < 0 or offsets[0] != 0:
            raise ValueError("offsets must be a 1-D array starting at 0, one entry more than events")
        # Conversions hand the offsets to Arrow and awkward unchecked: one out of order would
        # have them read outside the samples.
        if (offsets[1:] < offsets[:-1]).any():
            raise ValueError("offsets must never decrease")
    elif len(names):
        count = len(columns[names[0]])
    elif index is not None:
        count = len(index)
    else:
        count = 0 if stop is None else operator.index(stop) - (0 if start is None else operator.index(start))
    for name, dtype in HEADER_FIELDS[format]:
        if name in columns:
            column = columns[name]
            if column.dtype != dtype or column.shape != (count,):
                raise ValueError(f"column {name!r} must be {np.dtype(dtype)} of shape ({count},)")
    if has_data:
        data = columns["data"]
        assert offsets is not None
        if data.dtype != SAMPLE_DTYPES[format] or data.ndim != 1 or len(data) != offsets[-1]:
            raise ValueError(f"data must be 1-D {SAMPLE_DTYPES[format]} holding offsets[-1] samples")
    if index is not None and index.shape != (count,):
        raise ValueError(f"event_index must hold one index per event, {count}, not {index.shape}")
    return offsets, index, count
