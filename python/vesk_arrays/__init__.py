"""Many WD1 and WD2 events at once, as columnar NumPy arrays.

`read` gives a slice of one file as a :class:`Batch`; :class:`BatchReader` streams a file
batch by batch. A batch holds one array per header field and all samples in one array,
with ``offsets`` marking where each event's samples start.

`iterate` streams many files and `num_events` counts their events without reading
samples. A batch converts to pyarrow, pandas and awkward (`Batch.to_arrow`,
`to_pandas`, `to_awkward`).
"""

from ._batch import Batch
from ._iterate import Report, iterate, num_events
from ._reader import BatchReader, DamagedEventError, DamagedEventWarning, read

__all__ = ["Batch", "BatchReader", "DamagedEventError", "DamagedEventWarning", "Report", "iterate",
           "num_events", "read"]

