"""A Batch as a pyarrow Table, a pandas DataFrame or an awkward Array, without copying samples.

Every conversion wraps the batch's own buffers: the header columns and ``data`` are
handed over as they are, and ``offsets`` becomes the list offsets of the ``data``
column (for WD2 events of different shapes, with the offsets of each channel, computed
here, inside them). Each result keeps the NumPy arrays it wraps alive.

``data`` holds a list of samples per event for WD1, and a list of channels, each a list
of samples, for WD2. By default the lists are fixed-size where every event has one shape, so
that a uniform batch keeps its shape; ``list_type`` asks for one type instead, which a stream
of batches needs to share one schema. A Parquet file always holds large lists
(see vesk_arrays._parquet): Parquet stores both as lists, and one type for every batch lets a
file be written once, whatever shape a later event has.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
from numpy.typing import NDArray

from ._optional import require
from ._options import Layout, check_format, check_layout
from ._schema import (
    HEADER_FIELDS,
    SAMPLE_DTYPES,
    EventColumns,
    channel_counts,
    channel_segments,
    column_names,
)
from ._types import ListType

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]


FORMAT_KEY = b"vesk.format"
# Lists' items are named as Parquet names them, so that a table and a file written from
# it have one schema.
ITEM = "element"
# The columns that say where each event comes from, as vesk_arrays.dask.read(source=True) has them.
SOURCE_COLUMNS = ("path", "event")

# The samples' shape shared by every event: (samples,) for WD1, (channels, samples) for
# WD2; None when the events differ, or hold no samples. Spelt for Python 3.9, as it is
# defined at run time too (stubtest checks that the module has it).
Shape = Optional[tuple[int, ...]]
LIST_TYPES = ("large_list", "fixed_size_list")


def _pyarrow(extra: str, feature: str) -> Any:
    return require("pyarrow", extra, feature)


def data_shape(batch: EventColumns) -> Shape:
    """The shape of every event's samples, or None when they differ or there are none."""
    lengths = np.diff(batch.offsets)
    if not len(lengths) or lengths[0] == 0 or not (lengths == lengths[0]).all():
        return None
    if batch.format == "WD1":
        return (int(lengths[0]),)
    samples = batch["samples"]
    if not (samples == samples[0]).all():
        return None
    return (int(channel_counts(batch)[0]), int(samples[0]))


def _check_list_type(list_type: object) -> None:
    if list_type not in LIST_TYPES:
        raise ValueError(f"list_type must be 'large_list' or 'fixed_size_list', not {list_type!r}")


def shape_for(batch: EventColumns, list_type: ListType | None) -> Shape:
    """The shape that ``data``'s lists take for ``list_type``: the batch's own for
    "fixed_size_list" (ValueError when its events differ, or hold no samples), None (large
    lists) for "large_list", and either for None, as the batch allows."""
    if list_type is not None:
        _check_list_type(list_type)
    if "data" not in batch or list_type == "large_list":
        return None
    shape = data_shape(batch)
    if shape is None and list_type == "fixed_size_list":
        raise ValueError(
            "list_type='fixed_size_list' needs events of one shape holding samples; this batch's "
            "events differ (or hold none): use list_type='large_list'"
        )
    return shape


def schema(reader_type: str, layout: Layout = None, list_type: ListType = "large_list") -> pyarrow.Schema:
    """The ``pyarrow.Schema`` of the tables of every batch of ``reader_type`` ("WD1" or
    "WD2"), before any is read: what ``Batch.to_arrow(list_type="large_list")`` gives for a
    batch of all columns, and what :func:`to_parquet` writes, so a ``ParquetWriter`` made
    with it takes every batch of :func:`iterate`.

    ``layout`` (WD2 only) is checked as :func:`read` checks it; both layouts have the same
    columns. Only ``"large_list"`` is known before the events are: the sizes of fixed-size
    lists come from a batch (``batch.to_arrow(list_type="fixed_size_list").schema``), so
    ``"fixed_size_list"`` raises ValueError. Needs ``vesk[arrow]``."""
    check_format(reader_type)
    check_layout(reader_type, layout)
    _check_list_type(list_type)
    if list_type == "fixed_size_list":
        raise ValueError(
            "the sizes of fixed-size lists come from the events: take the schema of a batch, "
            "batch.to_arrow(list_type='fixed_size_list').schema"
        )
    return arrow_schema(_pyarrow("arrow", "schema()"), reader_type)


def list_types(pa: Any, reader_type: str, shape: Shape) -> list[Any]:
    """The Arrow types of ``data``'s lists, innermost first."""
    item = pa.from_numpy_dtype(SAMPLE_DTYPES[reader_type])
    types = []
    for size in reversed(shape) if shape else [None] * (1 if reader_type == "WD1" else 2):
        field = pa.field(ITEM, item, nullable=False)
        item = pa.list_(field, size) if size else pa.large_list(field)
        types.append(item)
    return types


def arrow_schema(
    pa: Any, reader_type: str, names: Iterable[str] | None = None, shape: Shape = None, source: bool = False
) -> Any:
    """The schema of a batch's table: its columns (all by default), ``data`` of the type
    ``shape`` calls for, after ``path`` and ``event`` with ``source``."""
    wanted = set(column_names(reader_type) if names is None else names)
    fields = []
    if source:
        fields += [
            pa.field("path", pa.string(), nullable=False),
            pa.field("event", pa.int64(), nullable=False),
        ]
    fields += [
        pa.field(name, pa.from_numpy_dtype(dtype), nullable=False)
        for name, dtype in HEADER_FIELDS[reader_type]
        if name in wanted
    ]
    if "data" in wanted:
        fields.append(pa.field("data", list_types(pa, reader_type, shape)[-1], nullable=False))
    return pa.schema(fields, metadata={FORMAT_KEY: reader_type.encode()})


def _channel_offsets(batch: EventColumns) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """WD2: where each event's channels start among all channels, and where each channel's
    samples start (each with its end appended)."""
    counts = channel_counts(batch)
    outer = np.zeros(len(counts) + 1, np.int64)
    np.cumsum(counts, out=outer[1:])
    starts = channel_segments(batch)[0]
    return outer, np.append(starts, batch.offsets[-1])


def data_array(pa: Any, batch: EventColumns, shape: Shape = None) -> Any:
    """``data`` as Arrow lists over the batch's samples: fixed-size ones of ``shape``, or
    large ones (None)."""
    types = list_types(pa, batch.format, shape)
    array = pa.array(batch["data"])  # wraps a contiguous NumPy array in place
    if shape:
        for list_type in types:
            array = pa.FixedSizeListArray.from_arrays(array, type=list_type)
        return array
    if batch.format == "WD1":
        return pa.LargeListArray.from_arrays(pa.array(batch.offsets), array, type=types[0])
    outer, inner = _channel_offsets(batch)
    array = pa.LargeListArray.from_arrays(pa.array(inner), array, type=types[0])
    return pa.LargeListArray.from_arrays(pa.array(outer), array, type=types[1])


def source_arrays(pa: Any, path: str, event_index: NDArray[np.int64]) -> list[Any]:
    """The ``path`` and ``event`` columns of events of the file ``path``."""
    return [pa.repeat(pa.scalar(path, pa.string()), len(event_index)), pa.array(event_index)]


def arrow_table(
    pa: Any, batch: EventColumns, shape: Shape = None, source: tuple[str, NDArray[np.int64]] | None = None
) -> Any:
    """The batch as a table whose ``data`` has the type ``shape`` calls for; with
    ``source`` (a path and the events' indices) the source columns first."""
    columns = [] if source is None else source_arrays(pa, *source)
    # pa.array wraps a contiguous NumPy array of a primitive type in place.
    columns += [pa.array(batch[name]) for name, _ in HEADER_FIELDS[batch.format] if name in batch]
    if "data" in batch:
        columns.append(data_array(pa, batch, shape))
    schema = arrow_schema(pa, batch.format, batch.keys(), shape, source is not None)
    return pa.Table.from_arrays(columns, schema=schema)


def to_arrow(batch: EventColumns, list_type: ListType | None = None) -> Any:
    pa = _pyarrow("arrow", "Batch.to_arrow()")
    return arrow_table(pa, batch, shape_for(batch, list_type))


def to_pandas(batch: EventColumns, list_type: ListType = "large_list") -> Any:
    pd = require("pandas", "pandas", "Batch.to_pandas()")
    pa = _pyarrow("pandas", "Batch.to_pandas()")
    # Large lists by default, even for events of one shape: frames of different batches
    # then have one dtype and concatenate (as Dask's partitions must).
    shape = shape_for(batch, list_type)
    columns: dict[str, Any] = {name: batch[name] for name, _ in HEADER_FIELDS[batch.format] if name in batch}
    if "data" in batch:
        columns["data"] = pd.arrays.ArrowExtensionArray(data_array(pa, batch, shape))
    return pd.DataFrame(columns, copy=False)


def to_awkward(batch: EventColumns) -> Any:
    ak = require("awkward", "awkward", "Batch.to_awkward()")
    names = [name for name, _ in HEADER_FIELDS[batch.format] if name in batch]
    contents = [ak.contents.NumpyArray(batch[name]) for name in names]
    if "data" in batch:
        names.append("data")
        data = ak.contents.NumpyArray(batch["data"])
        shape = data_shape(batch)
        if shape:
            for size in reversed(shape):
                data = ak.contents.RegularArray(data, size)
        elif batch.format == "WD1":
            data = ak.contents.ListOffsetArray(ak.index.Index64(batch.offsets), data)
        else:
            outer, inner = _channel_offsets(batch)
            data = ak.contents.ListOffsetArray(ak.index.Index64(inner), data)
            data = ak.contents.ListOffsetArray(ak.index.Index64(outer), data)
        contents.append(data)
    return ak.Array(ak.contents.RecordArray(contents, names, length=len(batch)))
