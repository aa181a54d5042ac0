"""A Batch as a pyarrow Table, a pandas DataFrame or an awkward Array, without copying samples.

Every conversion wraps the batch's own buffers: the header columns and ``data`` are
handed over as they are, and ``offsets`` becomes the list offsets of the ``data``
column. Each result keeps the NumPy arrays it wraps alive.
"""

from __future__ import annotations

import numpy as np

from ._batch import HEADER_FIELDS, SAMPLE_DTYPES
from ._optional import require

FORMAT_KEY = b"vesk.format"


def _pyarrow(extra, feature):
    return require("pyarrow", extra, feature)


def uniform_length(batch):
    """Samples per event when every event has the same non-zero number of them, else None."""
    lengths = np.diff(batch.offsets)
    if not len(lengths) or lengths[0] == 0 or not (lengths == lengths[0]).all():
        return None
    return int(lengths[0])


def arrow_schema(pa, reader_type, list_size=None):
    """The schema of a batch's table: ``data`` a fixed_size_list of list_size, or a large_list."""
    sample = pa.from_numpy_dtype(SAMPLE_DTYPES[reader_type])
    data = pa.list_(sample, list_size) if list_size else pa.large_list(sample)
    fields = [
        pa.field(name, pa.from_numpy_dtype(dtype), nullable=False)
        for name, dtype in HEADER_FIELDS[reader_type]
    ]
    fields.append(pa.field("data", data, nullable=False))
    return pa.schema(fields, metadata={FORMAT_KEY: reader_type.encode()})


def data_array(pa, batch, list_size=None):
    values = pa.array(batch["data"])
    if list_size:
        return pa.FixedSizeListArray.from_arrays(values, list_size)
    return pa.LargeListArray.from_arrays(pa.array(batch.offsets), values)


def arrow_table(pa, batch, list_size=None):
    # pa.array wraps a contiguous NumPy array of a primitive type in place.
    columns = [pa.array(batch[name]) for name, _ in HEADER_FIELDS[batch.format]]
    columns.append(data_array(pa, batch, list_size))
    return pa.Table.from_arrays(columns, schema=arrow_schema(pa, batch.format, list_size))


def to_arrow(batch):
    pa = _pyarrow("arrow", "Batch.to_arrow()")
    return arrow_table(pa, batch, uniform_length(batch))


def to_pandas(batch):
    pd = require("pandas", "pandas", "Batch.to_pandas()")
    pa = _pyarrow("pandas", "Batch.to_pandas()")
    columns = {name: batch[name] for name, _ in HEADER_FIELDS[batch.format]}
    # Always a large_list, even for equal-length events: frames of different batches
    # then have one dtype and concatenate (as Dask's partitions must).
    columns["data"] = pd.arrays.ArrowExtensionArray(data_array(pa, batch))
    return pd.DataFrame(columns, copy=False)


def to_awkward(batch):
    ak = require("awkward", "awkward", "Batch.to_awkward()")
    names = [name for name, _ in HEADER_FIELDS[batch.format]]
    contents = [ak.contents.NumpyArray(batch[name]) for name in names]
    contents.append(
        ak.contents.ListOffsetArray(ak.index.Index64(batch.offsets), ak.contents.NumpyArray(batch["data"]))
    )
    return ak.Array(ak.contents.RecordArray(contents, names + ["data"], length=len(batch)))
