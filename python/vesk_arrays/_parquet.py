"""Many event files into one Parquet file, a batch at a time."""

from __future__ import annotations

import os
import sys

from ._convert import arrow_schema, arrow_table
from ._iterate import iterate, num_events
from ._optional import require
from ._reader import DEFAULT_STEP, check_format, parse_step_size


def to_parquet(
    paths, reader_type, destination, *, step_size=DEFAULT_STEP, compression="zstd", progress=False
):
    """Writes the events of ``paths`` (as taken by :func:`iterate`) to one Parquet file.

    Each batch of ``step_size`` becomes one row group, so memory use stays near one
    batch whatever the size of the input. The columns are those of
    :meth:`Batch.to_arrow`, except that ``data`` is always a ``large_list``: every row
    group of a file has one schema, and a fixed list size may not hold for all batches.
    ``compression`` is passed to ``pyarrow.parquet.ParquetWriter``. ``destination`` is a
    path or a writable binary file; a path is removed again if the conversion fails, so
    no partial file is left looking complete. With ``progress=True`` a tqdm progress
    bar, whose total comes from :func:`num_events`, is drawn on stderr.

    Returns the number of events written. A file that cannot be opened raises its
    OSError, a damaged event :class:`DamagedEventError`. Needs ``vesk[arrow]`` (and tqdm,
    in ``vesk[cli]``, for ``progress``).
    """
    pa = require("pyarrow", "arrow", "to_parquet()")
    pq = require("pyarrow.parquet", "arrow", "to_parquet()")
    check_format(reader_type)
    parse_step_size(step_size)
    bar = None
    if progress:
        tqdm = require("tqdm", "cli", "to_parquet(progress=True)")
        bar = tqdm.tqdm(
            total=num_events(paths, reader_type), unit=" events", file=sys.stderr, desc="converting"
        )
    written = 0
    try:
        writer = pq.ParquetWriter(destination, arrow_schema(pa, reader_type), compression=compression)
        try:
            with writer:
                for batch in iterate(paths, reader_type, step_size=step_size):
                    if not len(batch):
                        continue
                    writer.write_table(arrow_table(pa, batch), row_group_size=len(batch))
                    written += len(batch)
                    if bar is not None:
                        bar.update(len(batch))
        except BaseException:
            # Only once the writer exists has the destination been (re)written by us.
            if isinstance(destination, (str, os.PathLike)):
                try:
                    os.remove(destination)
                except OSError:
                    pass
            raise
    finally:
        if bar is not None:
            bar.close()
    return written
