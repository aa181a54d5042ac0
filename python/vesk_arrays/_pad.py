"""Events of different shapes as one array: padded to one length (``Batch.waveforms(pad=)``),
or only the events of the most frequent shape (``Batch.of_common_shape``)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from ._options import check_count
from ._schema import channel_counts, channel_segments
from ._types import Pad

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event

    from ._batch import Batch

_E = TypeVar("_E", bound="WD1Event | WD2Event")


def padded_waveforms(batch: Batch[Any], pad: Pad, length: int | None, clip: bool) -> NDArray[Any]:
    """The samples as events x width (WD1) or events x channels x width (WD2), each event's
    (or channel's) samples followed by ``pad`` up to ``width``: ``length``, else the longest.
    WD2 events with fewer channels than the most are padded with whole channels of ``pad``."""
    offsets = batch.offsets
    data = batch["data"][offsets[0] : offsets[-1]]
    value = _pad_value(pad, data.dtype)
    places: NDArray[np.int64] | None
    rows: tuple[int, ...]
    if batch.format == "WD1":
        starts, lengths, places, rows = offsets[:-1], np.diff(offsets), None, (len(batch),)
    else:
        starts, lengths, places, rows = channel_segments(batch)
    longest = int(lengths.max()) if len(lengths) else 0
    width = longest if length is None else check_count("length", length)
    if longest > width and not clip:
        where = int(np.flatnonzero(lengths > width)[0])
        what = "event" if batch.format == "WD1" else "channel of an event"
        raise ValueError(
            f"a {what} holds {int(lengths[where])} samples, more than length={width}: pass clip=True "
            "to cut longer ones to length"
        )
    if places is None and (lengths == width).all():
        return data.reshape(*rows, width)  # nothing to pad: a view, as without pad
    if longest > width:
        # Only the first `width` samples of each segment (segments lie back to back).
        within = np.arange(len(data), dtype=np.int64) - np.repeat(starts - offsets[0], lengths)
        data = data[within < width]
    filled = np.minimum(lengths, width)
    if places is not None:
        # Channels an event lacks are rows without samples.
        filled, kept = np.zeros(math.prod(rows), np.int64), filled
        filled[places] = kept
    result = np.full((len(filled), width), value, data.dtype)
    # The samples, in order, fill the rows from the left: row-major order is theirs.
    result[np.arange(width) < filled[:, None]] = data
    return result.reshape(*rows, width)


def _pad_value(pad: Pad, dtype: np.dtype[Any]) -> Any:
    """``pad`` in the samples' dtype: exactly, for integer samples; the nearest float, for
    float samples. ValueError for a value the dtype cannot hold."""
    if pad is None:
        raise TypeError("length= needs pad=, the value to pad with")
    given = np.asarray(pad)
    if given.ndim or given.dtype.kind not in "iuf":
        raise TypeError(f"pad must be a number, not {type(pad).__name__!r}")
    with np.errstate(invalid="ignore", over="ignore"):
        value = given.astype(dtype)
    if dtype.kind == "f":
        held = bool(np.isfinite(value)) or not bool(np.isfinite(given))  # no overflow to inf
    else:
        held = bool(np.isfinite(given)) and bool(value == given)
    if not held:
        raise ValueError(f"pad={pad!r} cannot be held by the samples' dtype, {dtype}")
    return value


def of_common_shape(batch: Batch[_E]) -> Batch[_E]:
    """The events whose shape (WD1 length; WD2 channels and samples per channel) is the most
    frequent in the batch, the shape of the earliest such event where several are as
    frequent: a slice sharing the samples when that is all of them, else a copy."""
    offsets = batch.offsets
    if batch.format == "WD1":
        shapes = np.diff(offsets)
    else:
        # Channel counts below 2**31 and samples below 2**32: one int64 key per shape.
        shapes = (channel_counts(batch) << 32) | batch["samples"].astype(np.int64)
    if not len(shapes):
        return batch[0:0]
    _, first, inverse, counts = np.unique(shapes, return_index=True, return_inverse=True, return_counts=True)
    frequent = np.flatnonzero(counts == counts.max())
    chosen = frequent[np.argmin(first[frequent])]
    keep = inverse.reshape(-1) == chosen
    return batch[0 : len(batch)] if keep.all() else batch[keep]
