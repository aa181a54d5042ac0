"""A batch of events as columns: one array per header field, every sample in one array."""

from __future__ import annotations

import operator
from collections.abc import Iterator

import numpy as np

from . import _core

# The columns of each format: the header fields, in file order, with their dtypes; then "data".
HEADER_FIELDS = {
    format: tuple((name, np.dtype(dtype)) for name, dtype in fields)
    for format, fields in _core.HEADER_FIELDS.items()
}
SAMPLE_DTYPES = {format: np.dtype(dtype) for format, dtype in _core.SAMPLE_DTYPES.items()}


class Batch:
    """Consecutive events of one file, as NumPy columns: a table of events, like a DataFrame.

    ``batch[name]`` is a 1-D array with one entry per event for each header field, in the
    order and with the integer widths of :class:`vesk.EventReader`'s dictionaries.
    ``batch["data"]`` holds every sample of the batch, event after event; the samples of
    event ``i`` are ``data[offsets[i]:offsets[i + 1]]``. ``len(batch)`` counts the events;
    ``keys()``, ``values()``, ``items()``, ``get()``, ``in`` and iteration concern the
    columns, as a dictionary's do. Batches compare equal only to themselves.

    ``path`` is the file the events came from and ``start`` the index, within that file,
    of the batch's first event.
    """

    __slots__ = ("_format", "_columns", "_offsets", "_path", "_start", "_stop")

    def __init__(self, format, columns, offsets, *, path=None, start=0, stop=None):
        if format not in HEADER_FIELDS:
            raise ValueError(f"unknown reader type {format!r}, expected 'WD1' or 'WD2'")
        names = [name for name, _ in HEADER_FIELDS[format]] + ["data"]
        if list(columns) != names:
            raise ValueError(f"a {format} batch has the columns {names}, not {list(columns)}")
        offsets = np.asarray(offsets, dtype=np.int64)
        count = len(offsets) - 1
        if offsets.ndim != 1 or count < 0 or offsets[0] != 0:
            raise ValueError("offsets must be a 1-D array starting at 0, one entry more than events")
        # Conversions hand the offsets to Arrow and awkward unchecked: one out of order would
        # have them read outside the samples.
        if (offsets[1:] < offsets[:-1]).any():
            raise ValueError("offsets must never decrease")
        for name, dtype in HEADER_FIELDS[format]:
            column = columns[name]
            if column.dtype != dtype or column.shape != (count,):
                raise ValueError(f"column {name!r} must be {np.dtype(dtype)} of shape ({count},)")
        data = columns["data"]
        if data.dtype != SAMPLE_DTYPES[format] or data.ndim != 1 or len(data) != offsets[-1]:
            raise ValueError(f"data must be 1-D {SAMPLE_DTYPES[format]} holding offsets[-1] samples")
        self._format = format
        self._columns = dict(columns)
        self._offsets = offsets
        self._path = path
        self._start = start
        self._stop = start + len(self) if stop is None else stop

    @classmethod
    def empty(cls, format, *, path=None, start=0):
        """A batch of no events."""
        columns = {name: np.empty(0, dtype) for name, dtype in HEADER_FIELDS[format]}
        columns["data"] = np.empty(0, SAMPLE_DTYPES[format])
        return cls(format, columns, np.zeros(1, np.int64), path=path, start=start)

    # -- the columns -------------------------------------------------------------------------

    def __getitem__(self, key):
        return self._columns[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __contains__(self, key):
        return key in self._columns

    def keys(self):
        """The column names."""
        return self._columns.keys()

    def values(self):
        """The columns' arrays."""
        return self._columns.values()

    def items(self):
        """(name, array) of each column."""
        return self._columns.items()

    def get(self, key, default=None, /):
        """The column ``key``, or ``default`` when there is none."""
        return self._columns.get(key, default)

    def __len__(self):
        return len(self._offsets) - 1

    def __repr__(self):
        where = f" from {self._path!r}" if self._path is not None else ""
        return (
            f"<vesk_arrays.Batch {self._format}: {len(self)} events, {len(self['data'])} samples"
            f"{where} starting at event {self._start}>"
        )

    # -- what a batch is -----------------------------------------------------------------------

    @property
    def format(self):
        """The file format, "WD1" or "WD2"."""
        return self._format

    @property
    def offsets(self):
        """int64, ``len(batch) + 1`` entries: event i's samples are ``data[offsets[i]:offsets[i+1]]``."""
        return self._offsets

    @property
    def path(self):
        """The file the events came from (None for a batch built by hand)."""
        return self._path

    @property
    def start(self):
        """Index within its file of the batch's first event."""
        return self._start

    @property
    def stop(self):
        """Index within its file just past the batch's last event."""
        return self._stop

    @property
    def nbytes(self):
        """Bytes held by the batch's arrays."""
        return sum(column.nbytes for column in self._columns.values()) + self._offsets.nbytes

    def event(self, index):
        """Event ``index`` as the dictionary :class:`vesk.EventReader` gives for it.

        Its ``"data"`` is a view into the batch's samples, not a copy.
        """
        index = operator.index(index)
        count = len(self)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError(f"event index out of range for a batch of {count} events")
        event = {name: self._columns[name][index].item() for name, _ in HEADER_FIELDS[self._format]}
        event["data"] = self._columns["data"][self._offsets[index] : self._offsets[index + 1]]
        return event

    def waveforms(self):
        """The samples as a 2-D (WD1: events x samples) or 3-D (WD2: events x channels x samples)
        array: a view of ``batch["data"]``, never a copy.

        Raises ValueError when the events do not all have the same shape; use ``offsets``
        (or :meth:`event`) for such batches.
        """
        data = self._columns["data"]
        count = len(self)
        lengths = np.diff(self._offsets)
        per_event = int(lengths[0]) if count else 0
        if count and not (lengths == per_event).all():
            raise ValueError(
                "the events of this batch differ in length "
                f"({int(lengths.min())} to {int(lengths.max())} samples), so they do not form "
                "one array; use batch.offsets to slice batch['data'] per event"
            )
        if self._format == "WD1":
            return data.reshape(count, per_event)
        samples = self._columns["samples"]
        per_channel = int(samples[0]) if count else 0
        if count and not (samples == per_channel).all():
            raise ValueError(
                "the events of this batch differ in samples per channel, so they do not form one "
                "array; use batch.offsets to slice batch['data'] per event"
            )
        if per_channel:
            channels = per_event // per_channel
        else:
            channels = max(int(self._columns["channels"][0]), 0) if count else 0
        return data.reshape(count, channels, per_channel)

    # -- conversions (each needs an optional package; see vesk_arrays._convert) ---------------

    def to_arrow(self):
        """A ``pyarrow.Table``: one column per header field with its integer width, and
        ``data`` a ``fixed_size_list`` when every event has the same non-zero number of
        samples, else a ``large_list``. The samples are shared, not copied. The schema's
        metadata holds the format under ``b"vesk.format"``. Needs ``vesk[arrow]``."""
        from ._convert import to_arrow

        return to_arrow(self)

    def to_pandas(self):
        """A ``pandas.DataFrame``: the header fields with their integer widths, and ``data``
        as Arrow-backed lists (``pd.ArrowDtype(pa.large_list(...))``) sharing the samples.
        Needs ``vesk[pandas]``."""
        from ._convert import to_pandas

        return to_pandas(self)

    def to_awkward(self):
        """An ``awkward.Array`` of records: the header fields and ``data`` as a variable-length
        list per event, over the batch's own buffers. Needs ``vesk[awkward]``."""
        from ._convert import to_awkward

        return to_awkward(self)
