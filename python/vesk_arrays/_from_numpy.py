"""`Batch.from_numpy`: a batch made of NumPy arrays, its size fields filled from the samples."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._options import check_format
from ._schema import HEADER_FIELDS, SAMPLE_DTYPES, SIZE_FIELDS

if TYPE_CHECKING:
    from ._batch import Batch


def batch_from_numpy(
    cls: type[Batch[Any]],
    reader_type: str,
    samples: ArrayLike,
    offsets: ArrayLike | None,
    fields: dict[str, ArrayLike],
) -> Batch[Any]:
    """See `Batch.from_numpy`."""
    format = check_format(reader_type)
    names = [name for name, _ in HEADER_FIELDS[format]]
    for name in fields:
        if name not in names:
            raise ValueError(f"a {format} event has no header field {name!r}; its fields are {names}")
    filled = [name for name in SIZE_FIELDS[format] if name in fields]
    if filled and not (format == "WD2" and filled == ["channels"] and offsets is not None):
        raise ValueError(f"{filled[0]!r} is filled from the samples; leave it out")
    data = _sample_array(format, samples)
    if offsets is None:
        if data.ndim != (2 if format == "WD1" else 3):
            shape = "events x samples" if format == "WD1" else "events x channels x samples"
            raise ValueError(f"{format} samples must be a {shape} array, or flat with offsets")
        count, width = data.shape[0], int(np.prod(data.shape[1:]))
        bounds = np.arange(count + 1, dtype=np.int64) * width
    else:
        bounds = np.asarray(offsets, dtype=np.int64)
        if data.ndim != 1 or bounds.ndim != 1 or len(bounds) < 1 or bounds[-1] != len(data):
            raise ValueError("with offsets, samples must be 1-D and offsets end at its length")
        count = len(bounds) - 1
    lengths = np.diff(bounds)
    columns = {name: _field(name, dtype, fields.get(name, 0), count) for name, dtype in HEADER_FIELDS[format]}
    if format == "WD1":
        columns["event_size"] = _field("event_size", np.dtype(np.int32), 24 + 2 * lengths, count)
    else:
        given = fields.get("channels", 1)
        per_event = data.shape[1] if offsets is None else _field("channels", np.dtype(np.int32), given, count)
        channels = np.broadcast_to(np.asarray(per_event, dtype=np.int64), (count,))
        if (channels < 1).any() or (lengths % channels).any():
            raise ValueError("each event's samples must be a whole number (1 or more) of channels")
        columns["channels"] = _field("channels", np.dtype(np.int32), channels, count)
        columns["samples"] = _field("samples", np.dtype(np.uint32), lengths // channels, count)
    columns["data"] = np.ascontiguousarray(data).reshape(-1)
    return cls(format, columns, bounds)


def _sample_array(format: str, samples: ArrayLike) -> NDArray[Any]:
    """The samples in the format's dtype; ValueError for values it cannot hold."""
    dtype = SAMPLE_DTYPES[format]
    array = np.asarray(samples)
    if array.size == 0 or dtype.kind == "f" and array.dtype.kind in "iuf":
        return array.astype(dtype, copy=False)
    if array.dtype.kind not in "iu" or not _fits(array, dtype):
        raise ValueError(f"{format} samples must be {dtype} values, not {array.dtype} {_span(array)}")
    return array.astype(dtype, copy=False)


def _field(name: str, dtype: np.dtype[Any], value: ArrayLike, count: int) -> NDArray[Any]:
    """One header column: ``value`` (a scalar or one entry per event) in the field's dtype."""
    array = np.asarray(value)
    if array.ndim > 1 or array.ndim == 1 and len(array) != count:
        raise ValueError(f"{name} must be a scalar or hold one value per event, {count}, not {array.shape}")
    if array.size and (array.dtype.kind not in "iub" or not _fits(array, dtype)):
        raise ValueError(f"{name} must be {dtype} values, not {array.dtype} {_span(array)}")
    return np.broadcast_to(array, (count,)).astype(dtype)


def _fits(array: NDArray[Any], dtype: np.dtype[Any]) -> bool:
    if array.size == 0 or np.can_cast(array.dtype, dtype):
        return True
    info = np.iinfo(dtype)
    return bool(info.min <= array.min() and array.max() <= info.max)


def _span(array: NDArray[Any]) -> str:
    return f"from {array.min()} to {array.max()}" if array.size and array.dtype.kind in "iuf" else ""
