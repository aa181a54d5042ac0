"""A batch's samples as one array of events (``waveforms``), and per-event reductions of
them (min, max, sum, mean, argmin, argmax) for events of any length, over segments: runs of
samples anywhere in a buffer of bytes, reduced in C++ on the usable cores."""

from __future__ import annotations

import operator
from typing import Any, NamedTuple, SupportsIndex, cast

import numpy as np
from numpy.typing import NDArray

import vesk_arrays._core as _core

from ._schema import SAMPLE_DTYPES, EventColumns, channel_counts, channel_segments

REDUCTIONS = ("min", "max", "sum", "mean", "argmin", "argmax")
# The sample dtypes the reductions take (native order), by their struct codes.
_SAMPLE_CODES = {np.dtype(np.uint16): "H", np.dtype(np.float32): "f"}
_INT64 = (-(2**63), 2**63 - 1)
# NumPy sums a run of floats pairwise in blocks of its buffer's size where it copies the run
# into its buffer: always before 2.3, and since only when the run is not aligned. The same
# floats summed in other blocks can round otherwise.
_SUMS_ALIGNED_WHOLE = np.lib.NumpyVersion(np.__version__) >= "2.3.0"


def waveforms_of(batch: EventColumns, data: NDArray[Any] | None = None) -> NDArray[Any]:
    """The samples (``data``: the batch's own) as events x samples (WD1) or events x
    channels x samples (WD2), a view; ValueError when the events differ in shape."""
    offsets = batch.offsets
    data = batch["data"] if data is None else data
    count = len(batch)
    lengths = np.diff(offsets)
    per_event = int(lengths[0]) if count else 0
    if count and not (lengths == per_event).all():
        raise ValueError(
            "the events of this batch differ in length "
            f"({int(lengths.min())} to {int(lengths.max())} samples), so they do not form "
            "one array; use batch.offsets to slice batch['data'] per event"
        )
    if batch.format == "WD1":
        return data.reshape(count, per_event)
    samples = batch["samples"]
    per_channel = int(samples[0]) if count else 0
    if count and not (samples == per_channel).all():
        raise ValueError(
            "the events of this batch differ in samples per channel, so they do not form one "
            "array; use batch.offsets to slice batch['data'] per event"
        )
    if per_channel:
        channels = per_event // per_channel
    else:
        channels = max(int(batch["channels"][0]), 0) if count else 0
    return data.reshape(count, channels, per_channel)


class Segments(NamedTuple):
    """Where the samples of each event (WD1) or each event's channel (WD2) lie: ``starts`` in
    bytes of ``buffer`` (any bytes-like, read-only will do), ``lengths`` in samples of
    ``dtype``; and where their results go: at ``places`` of the flattened ``shape`` (None:
    in order, filling it), the rest empty."""

    buffer: Any
    dtype: np.dtype[Any]
    starts: NDArray[np.int64]
    lengths: NDArray[np.int64]
    places: NDArray[np.int64] | None
    shape: tuple[int, ...]


def segments_of(batch: EventColumns, where: tuple[Any, NDArray[np.int64]] | None = None) -> Segments:
    """The segments of a batch whose samples are ``batch["data"]``; or, given ``where``
    (a buffer, and the byte at which each event's samples start in it), whose samples lie
    there event by event, as in a file's mapping."""
    shape: tuple[int, ...]
    places: NDArray[np.int64] | None
    offsets = batch.offsets
    if batch.format == "WD1":
        starts, lengths, places, shape = offsets[:-1], np.diff(offsets), None, (len(batch),)
    else:
        starts, lengths, places, shape = channel_segments(batch)
    if where is None:
        data = np.ascontiguousarray(batch["data"])
        return Segments(data, data.dtype, starts * data.itemsize, lengths, places, shape)
    buffer, event_bytes = where
    dtype = SAMPLE_DTYPES[batch.format]
    if batch.format == "WD1":
        return Segments(buffer, dtype, event_bytes, lengths, places, shape)
    # A channel's bytes: its event's, and its place within the event's samples.
    events = np.repeat(np.arange(len(batch)), channel_counts(batch))
    byte_starts = event_bytes[events] + (starts - offsets[:-1][events]) * dtype.itemsize
    return Segments(buffer, dtype, byte_starts, lengths, places, shape)


def reduce_events(
    segments: Segments,
    op: str,
    start: SupportsIndex | None = None,
    stop: SupportsIndex | None = None,
    empty: float | None = None,
) -> NDArray[Any]:
    """``op`` of each segment's samples[start:stop], in an array of ``segments.shape``;
    ValueError for an unknown op or an event without a value, TypeError for a bound that is
    not an integer."""
    values, missing = _reduced(segments, op, start, stop, empty)
    if missing >= 0:
        hint = "events, or leave them out"
        hint += ": batch[np.diff(batch.offsets) > 0]" if start is None and stop is None else ""
        raise _no_value(op, values.dtype, start, stop, f"event {missing}", hint)
    if segments.places is not None:
        padded = np.full(int(np.prod(segments.shape)), _empty_value(op, values.dtype, empty), values.dtype)
        padded[segments.places] = values
        values = padded
    return values.reshape(segments.shape)


def reduce_segments(
    buffer: Any,
    dtype: Any,
    starts: Any,
    lengths: Any,
    op: str,
    *,
    start: SupportsIndex | None = None,
    stop: SupportsIndex | None = None,
    empty: float | None = None,
) -> NDArray[Any]:
    """``op`` of each segment's samples[start:stop], the segments of ``dtype`` (uint16 or
    float32) samples at byte offsets ``starts`` (any, unaligned too) of ``buffer``, each
    ``lengths`` long: a 1-D array, its dtype and empty values as for :meth:`Batch.reduce`."""
    starts = np.asarray(starts, np.int64)
    segments = Segments(buffer, np.dtype(dtype), starts, np.asarray(lengths, np.int64), None, starts.shape)
    values, missing = _reduced(segments, op, start, stop, empty)
    if missing >= 0:
        raise _no_value(op, values.dtype, start, stop, f"segment {missing}", "segments")
    return values


def _reduced(
    segments: Segments, op: str, start: SupportsIndex | None, stop: SupportsIndex | None, empty: float | None
) -> tuple[NDArray[Any], int]:
    """The values of the segments, and the first segment without one (else -1)."""
    if op not in REDUCTIONS:
        raise ValueError(f"op must be one of {', '.join(map(repr, REDUCTIONS))}, not {op!r}")
    code = _SAMPLE_CODES.get(segments.dtype)
    if code is None:
        raise ValueError(f"samples of dtype {segments.dtype} cannot be reduced: uint16 and float32 can")
    dtype = _result_dtype(op, segments.dtype)
    fill = _empty_value(op, dtype, empty)
    values = np.empty(len(segments.starts), dtype)
    missing = _core.reduce_segments(
        segments.buffer,
        code,
        np.ascontiguousarray(segments.starts, np.int64),
        np.ascontiguousarray(segments.lengths, np.int64),
        op,
        _bound(start, 0),
        _bound(stop, _INT64[1]),
        np.getbufsize(),
        _SUMS_ALIGNED_WHOLE,
        None if fill is None else np.full(1, fill, dtype),
        values,
    )
    return values, missing


def _bound(value: SupportsIndex | None, default: int) -> int:
    """A window's bound as a slice takes it (None: open), within int64 (which means the same)."""
    if value is None:
        return default
    return min(max(operator.index(value), _INT64[0]), _INT64[1])


def _result_dtype(op: str, sample: np.dtype[Any]) -> np.dtype[Any]:
    if op in ("min", "max"):
        return sample
    if op in ("argmin", "argmax"):
        return np.dtype(np.intp)
    # What NumPy gives for one event, whatever the platform.
    return cast("np.dtype[Any]", getattr(np, op)(np.ones(1, sample)).dtype)


def _empty_value(op: str, dtype: np.dtype[Any], empty: float | None) -> Any:
    """The value of a segment without samples; None where there is none (min and max of
    integers, unless ``empty`` is given)."""
    if empty is not None:
        value = np.asarray(empty).astype(dtype)
        if not (value == empty or (np.isnan(value) and np.isnan(empty))):
            raise ValueError(f"empty={empty!r} cannot be held by the result's dtype, {dtype}")
        return value
    if op == "sum":
        return 0
    if op in ("argmin", "argmax"):
        return -1
    return np.nan if dtype.kind == "f" else None


def _no_value(
    op: str, dtype: np.dtype[Any], start: object, stop: object, which: str, hint: str
) -> ValueError:
    window = "" if start is None and stop is None else f" in its window [{start}:{stop}]"
    return ValueError(
        f"{op} of {which}, which holds no samples{window}, has no value in {dtype}: pass empty= the "
        f"value to give such {hint}"
    )
