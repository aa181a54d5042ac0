"""Many WD1 and WD2 events at once, as columnar NumPy arrays.

`read` gives a slice of one file, or of many files joined, as a :class:`Batch`;
:class:`BatchReader` streams a file batch by batch. A batch holds one array per header
field and all samples in one array, with ``offsets`` marking where each event's samples
start; `Batch.waveforms` gives them as one array, events of different lengths padded.

A batch is also a sequence of events: it is sliced and filtered like an array
(``batch[10:20]``, ``batch[mask]``), `concat` joins batches, and `Batch.reduce` gives
per-event minima, maxima, sums, means and their positions for events of any length.

`iterate` streams many files, `num_events` counts their events without reading samples,
`to_parquet` writes them to one Parquet file, `write` to a WD1 or WD2 file, and
`vesk_arrays.dask.read` makes a Dask DataFrame of them. A batch converts to pyarrow,
pandas and awkward (`Batch.to_arrow`, `to_pandas`, `to_awkward`); `schema` gives the Arrow
schema that every batch of a format can share. The command line is
``vesk`` (or ``python -m vesk_arrays``).
"""

from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any

# The distribution's version, compiled into vesk from pyproject.toml: one place.
from vesk import __version__ as __version__

from ._batch import Batch
from ._concat import concat
from ._convert import schema
from ._damage import DamagedEventError, DamagedEventWarning
from ._iterate import Report, iterate, num_events
from ._parquet import to_parquet
from ._read import read
from ._reader import BatchReader
from ._write import write

if _TYPE_CHECKING:
    # Loaded on first access (see __getattr__); to type checkers, the module it is.
    from . import dask as dask

__all__ = [
    "Batch",
    "BatchReader",
    "DamagedEventError",
    "DamagedEventWarning",
    "Report",
    "concat",
    "iterate",
    "num_events",
    "read",
    "schema",
    "to_parquet",
    "write",
]


def __getattr__(name: str) -> _Any:
    # vesk_arrays.dask needs Dask only when used; load it on first access.
    if name == "dask":
        import importlib

        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
