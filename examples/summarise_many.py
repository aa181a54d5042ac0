"""Per-event summaries of many event files at once, on a Dask cluster.

    python examples/summarise_many.py --format WD2 run1.wd2 run2.wd2 ...
    python examples/summarise_many.py --format WD1 --scheduler tcp://10.0.0.5:8786 /data/*.wd1
    python examples/summarise_many.py --generate 8          # write 8 sample files, then summarise them

Each file is one task: a worker opens it with vesk, reduces every event to a row
(counter, timestamp, sample count, min, max, mean), and returns its rows; the
rows of all files are combined into one table, in the order the files were given.
Without --scheduler a LocalCluster is started on this machine; with it, the tasks
run on the cluster whose scheduler has that address (every worker needs vesk and
the files at the same paths).
"""

import argparse
import os
import sys
import tempfile

import numpy as np

import vesk

ROW = np.dtype([("file", "U256"), ("event", "i8"), ("event_counter", "i8"), ("timestamp", "u8"),
                ("samples", "i8"), ("min", "f8"), ("max", "f8"), ("mean", "f8")])


def summarise_file(path, reader_type):
    """The rows of one file: a structured array with one row per event."""
    rows = []
    for index, event in enumerate(vesk.EventReader(path, reader_type)):
        data = event["data"]
        if data.size:
            low, high, mean = float(data.min()), float(data.max()), float(data.mean(dtype=np.float64))
        else:
            low = high = mean = float("nan")
        rows.append((path, index, event["event_counter"], event["timestamp"], data.size, low, high, mean))
    return np.array(rows, dtype=ROW)


def combine(parts):
    return np.concatenate(parts) if parts else np.empty(0, dtype=ROW)


def summarise(paths, reader_type, client):
    """One task per file on the client's cluster; the combined table."""
    futures = client.map(summarise_file, paths, reader_type=reader_type, pure=False)
    return combine(client.gather(futures))


def summarise_serial(paths, reader_type):
    return combine([summarise_file(path, reader_type) for path in paths])


def print_table(table, limit=10):
    print(f"{'file':>24} {'event':>6} {'counter':>8} {'timestamp':>12} {'samples':>8} "
          f"{'min':>10} {'max':>10} {'mean':>10}")
    for row in table[:limit]:
        print(f"{os.path.basename(row['file']):>24} {row['event']:>6} {row['event_counter']:>8} "
              f"{row['timestamp']:>12} {row['samples']:>8} {row['min']:>10.4g} {row['max']:>10.4g} "
              f"{row['mean']:>10.4g}")
    if len(table) > limit:
        print(f"{'...':>24}")
    files = len(set(table["file"]))
    print(f"{len(table)} events from {files} files, {int(table['samples'].sum())} samples")


def generate(count, reader_type, folder):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from sample_files import write_wd1, write_wd2

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
                table = summarise(paths, options.format, client)
        else:
            with LocalCluster(n_workers=options.workers, threads_per_worker=1, dashboard_address=None) as cluster, \
                    Client(cluster) as client:
                table = summarise(paths, options.format, client)
        print_table(table)


if __name__ == "__main__":
    main()
