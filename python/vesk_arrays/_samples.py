"""A batch's samples as one array of events (``waveforms``), and per-event reductions of
them (min, max, sum, mean, argmin, argmax) for events of any length: run by run where
events of one length follow each other, else over all segments at once."""

from __future__ import annotations

from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

import vesk_arrays._core as _core

from ._schema import EventColumns, channel_segments

REDUCTIONS = ("min", "max", "sum", "mean", "argmin", "argmax")
# Reductions go run by run over up to this many runs of equal-length events, or over
# runs at least this long on average (see _by_runs).
_RUN_LENGTH = 64
# The sample dtypes whose argmin and argmax _core.first_extremes finds, in native order.
_SCANNED_DTYPES = (np.dtype(np.uint16), np.dtype(np.float32))


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


def reduce_events(
    batch: EventColumns, op: str, waves: NDArray[Any] | None, empty: float | None
) -> NDArray[Any]:
    """``op`` of each event's (WD1) or each event's channels' (WD2) samples; ``waves`` the
    batch's samples as one array when its events have one shape (else None)."""
    if waves is not None and waves.shape[-1]:
        return cast("NDArray[Any]", getattr(waves, op)(axis=-1))
    offsets = batch.offsets
    data = batch["data"]
    shape: tuple[int, ...]
    if batch.format == "WD1":
        starts, lengths, places, shape = offsets[:-1], np.diff(offsets), None, (len(batch),)
    else:
        starts, lengths, places, shape = channel_segments(batch)
    dtype = _result_dtype(op, data.dtype)
    filled = lengths > 0
    result = np.empty(len(lengths), dtype)
    if not filled.all():
        result[~filled] = _empty_value(op, dtype, empty, lengths)
    if filled.any():
        result[filled] = _reduce_segments(op, data, starts[filled], lengths[filled], dtype)
    if places is not None:
        padded = np.full(int(np.prod(shape)), _empty_value(op, dtype, empty, None), dtype)
        padded[places] = result
        result = padded
    return result.reshape(shape)


def _result_dtype(op: str, sample: np.dtype[Any]) -> np.dtype[Any]:
    if op in ("min", "max"):
        return sample
    if op in ("argmin", "argmax"):
        return np.dtype(np.intp)
    # What NumPy gives for one event, whatever the platform.
    return cast("np.dtype[Any]", getattr(np, op)(np.ones(1, sample)).dtype)


def _empty_value(
    op: str, dtype: np.dtype[Any], empty: float | None, lengths: NDArray[np.int64] | None
) -> Any:
    if empty is not None:
        value = np.asarray(empty).astype(dtype)
        if not (value == empty or (np.isnan(value) and np.isnan(empty))):
            raise ValueError(f"empty={empty!r} cannot be held by the result's dtype, {dtype}")
        return value
    if op == "sum":
        return 0
    if op in ("argmin", "argmax"):
        return -1
    if dtype.kind == "f":
        return np.nan
    # Only WD1 gets here: its segments are its events.
    where = "" if lengths is None else f" (event {int(np.flatnonzero(lengths == 0)[0])})"
    raise ValueError(
        f"{op} of an event without samples{where} has no value in {dtype}: pass empty= the value "
        "to give such events, or leave them out: batch[np.diff(batch.offsets) > 0]"
    )


def _by_runs(segments: int, runs: int) -> bool:
    """Whether to reduce run by run, each run of segments of one length a 2-D array that NumPy
    reduces as it would reduce each segment, rather than all segments in one call of
    ufunc.reduceat: for few runs, or long ones, where the calls per run cost little."""
    return runs <= _RUN_LENGTH or segments >= _RUN_LENGTH * runs


def _reduce_segments(
    op: str, data: NDArray[Any], starts: NDArray[np.int64], lengths: NDArray[np.int64], dtype: np.dtype[Any]
) -> NDArray[Any]:
    """``op`` of each segment of samples, the segments back to back, none empty."""
    if op in ("argmin", "argmax") and data.dtype in _SCANNED_DTYPES:
        # One pass over each segment in C++, where NumPy needs several over them all.
        positions = np.empty(len(starts), np.int64)
        _core.first_extremes(
            np.ascontiguousarray(data),
            np.ascontiguousarray(starts, np.int64),
            np.ascontiguousarray(lengths, np.int64),
            positions,
            op == "argmax",
        )
        return positions.astype(dtype, copy=False)
    breaks = np.flatnonzero(lengths[1:] != lengths[:-1]) + 1
    if _by_runs(len(lengths), len(breaks) + 1):
        parts = []
        for a, b in zip([0, *breaks.tolist()], [*breaks.tolist(), len(lengths)]):
            first, size = int(starts[a]), int(lengths[a])
            rows = data[first : first + (b - a) * size].reshape(b - a, size)
            parts.append(getattr(rows, op)(axis=1))
        return np.concatenate(parts).astype(dtype, copy=False)
    data = data[int(starts[0]) : int(starts[-1] + lengths[-1])]
    starts = starts - starts[0]
    if op in ("min", "max", "argmin", "argmax"):
        ufunc = np.minimum if op.endswith("min") else np.maximum
        extreme = ufunc.reduceat(data, starts)
        if op in ("min", "max"):
            return extreme
        # The first position holding the extreme (or, where it is NaN, the first NaN).
        expanded = np.repeat(extreme, lengths)
        hit = data == expanded
        if data.dtype.kind == "f":
            hit |= np.isnan(data) & np.isnan(expanded)
        positions = np.where(hit, np.arange(len(data)), len(data))
        return np.minimum.reduceat(positions, starts) - starts
    wide = np.float64 if dtype.kind == "f" else dtype
    total = np.add.reduceat(data, starts, dtype=wide)
    if op == "mean":
        total = total / lengths
    return total.astype(dtype, copy=False)
