"""Per-event summaries of many event files at once, on a Dask cluster.

    python examples/summarise_many.py --format WD2 run1.wd2 run2.wd2 ...
    python examples/summarise_many.py --format WD1 --scheduler tcp://10.0.0.5:8786 /data/*.wd1
    python examples/summarise_many.py --generate 8          # write 8 sample files, then summarise them

The files are split into partitions of about --step-size of events each, several small
files to a partition, as vesk_arrays.dask.read splits them; vesk_arrays.dask.map_batches
hands each file's part of a partition to a function as a batch, which reduces it to one
row per event (file, event, counter, timestamp, sample count, min, max, mean) with
Batch.reduce, and the rows come back as one table, in the order the files were given. Without --scheduler a
LocalCluster is started on this machine; with it, the work runs on the cluster whose
scheduler has that address (every worker needs vesk and the files at the same paths).
"""

import argparse
import os
import tempfile

import numpy as np
import pandas as pd
import pyarrow as pa

import vesk_arrays
import vesk_arrays.dask
from sample_files import write_wd1, write_wd2

COLUMNS = {
    "file": pd.ArrowDtype(pa.string()),
    "event": np.int64,
    "event_counter": np.int64,
    "timestamp": np.uint64,
    "samples": np.int64,
    "min": np.float64,
    "max": np.float64,
    "mean": np.float64,
}


def empty_table():
    return pd.DataFrame({name: pd.Series(dtype=dtype) for name, dtype in COLUMNS.items()})


def summarise_batch(batch):
    """One row per event of a batch; min, max and mean NaN for an event without samples."""
    lengths = np.diff(batch.offsets)
    filled = lengths > 0
    chosen = batch[filled]

    def per_event(op):
        values = np.full(len(batch), np.nan)
        reduced = chosen.reduce(op)  # WD2: one column per channel, each of the same length
        values[filled] = reduced if reduced.ndim == 1 else getattr(np, op)(reduced, axis=1)
        return values

    table = pd.DataFrame(
        {
            "file": os.path.abspath(batch.path),
            "event": batch.event_index,
            "event_counter": batch["event_counter"],
            "timestamp": batch["timestamp"],
            "samples": lengths,
            "min": per_event("min"),
            "max": per_event("max"),
            "mean": per_event("mean"),
        }
    )
    return table.astype(COLUMNS)


def summarise(paths, reader_type, client, step_size="64 MiB"):
    """The table of all files' events, computed on the client's cluster."""
    table = vesk_arrays.dask.map_batches(
        summarise_batch, paths, reader_type, step_size=step_size, meta=empty_table()
    )
    return client.compute(table).result().reset_index(drop=True)


def summarise_serial(paths, reader_type):
    """The same table, read here file after file."""
    tables = [summarise_batch(batch) for batch in vesk_arrays.iterate(paths, reader_type)]
    return pd.concat(tables, ignore_index=True) if tables else empty_table()


def print_table(table, limit=10):
    print(
        f"{'file':>24} {'event':>6} {'counter':>8} {'timestamp':>12} {'samples':>8} "
        f"{'min':>10} {'max':>10} {'mean':>10}"
    )
    for row in table.head(limit).itertuples():
        print(
            f"{os.path.basename(row.file):>24} {row.event:>6} {row.event_counter:>8} "
            f"{row.timestamp:>12} {row.samples:>8} {row.min:>10.4g} {row.max:>10.4g} "
            f"{row.mean:>10.4g}"
        )
    if len(table) > limit:
        print(f"{'...':>24}")
    print(f"{len(table)} events from {table['file'].nunique()} files, {int(table['samples'].sum())} samples")


def generate(count, reader_type, folder):
    paths = []
    for i in range(count):
        path = os.path.join(folder, f"run{i:03d}.{reader_type.lower()}")
        (write_wd1 if reader_type == "WD1" else write_wd2)(path, events=50, seed=i)
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("files", nargs="*")
    parser.add_argument("--format", choices=["WD1", "WD2"], default="WD2")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster workers (no --scheduler)")
    parser.add_argument("--step-size", default="64 MiB", help="memory per partition (default 64 MiB)")
    parser.add_argument("--generate", type=int, metavar="N", help="write N sample files and use them")
    options = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory() as folder:
        paths = list(options.files)
        if options.generate:
            paths += generate(options.generate, options.format, folder)
        if not paths:
            parser.error("no files given (or use --generate N)")
        if options.scheduler:
            with Client(options.scheduler) as client:
                table = summarise(paths, options.format, client, options.step_size)
        else:
            with (
                LocalCluster(
                    n_workers=options.workers, threads_per_worker=1, dashboard_address=":0"
                ) as cluster,
                Client(cluster) as client,
            ):
                table = summarise(paths, options.format, client, options.step_size)
        print_table(table)


if __name__ == "__main__":
    main()
