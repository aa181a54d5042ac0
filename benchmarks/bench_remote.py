"""Reading from an S3 server: vesk_arrays against fetching the same object whole.

    python benchmarks/bench_remote.py [--repeats N] [--quick]

A local S3 server (moto's server mode, in a process of its own on 127.0.0.1) holds the
objects; s3fs is the client of both readers. Rows:
- streaming ``BatchReader(url).batches()`` over an object of small events, against
  ``fs.cat_file`` of the object (one request for all of it);
- a header-only pass (``num_events``, and ``read`` without ``data``) over an object of
  16 MiB events, against the same ``fs.cat_file``, with the share of the object it fetched.
Needs fsspec, s3fs and moto[server] (the bench group of pyproject.toml).
"""

from __future__ import annotations

import argparse
import os
import socket
import subprocess
import sys
import tempfile
import time

import numpy as np

import vesk_arrays
from _common import Comparison, Figure, Report, write_uniform


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server():
    """moto's S3 server in a process of its own (its Python work must not share this
    process's interpreter lock with the readers measured); its endpoint URL."""
    port = free_port()
    code = (
        "import sys, time; from moto.server import ThreadedMotoServer; "
        "ThreadedMotoServer(ip_address='127.0.0.1', port=int(sys.argv[1]), verbose=False).start(); "
        "time.sleep(1e9)"
    )
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    server = subprocess.Popen([sys.executable, "-c", code, str(port)], **quiet)
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
            return server, f"http://127.0.0.1:{port}"
        except OSError:
            time.sleep(0.1)
    server.kill()
    raise RuntimeError("the S3 server did not start")


def interleaved_best(jobs, repeats):
    """The shortest time of each job, the jobs run in turns so that both meet the same server."""
    best = [float("inf")] * len(jobs)
    for _ in range(repeats):
        for i, job in enumerate(jobs):
            start = time.perf_counter()
            job()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def streamed(url, options):
    events = 0
    with vesk_arrays.BatchReader(url, storage_options=options) as reader:
        for batch in reader.batches():
            events += len(batch)
    return events


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="small objects, for a smoke run")
    args = parser.parse_args()
    import s3fs

    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
        os.environ.setdefault(name, "benchmark")
    os.environ.setdefault("AWS_DEFAULT_REGION", "us-east-1")
    server, endpoint = start_server()
    try:
        options = {"endpoint_url": endpoint}
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("bench")
        folder = tempfile.mkdtemp()
        scale = 8 if args.quick else 1
        report = Report("bench_remote", {"repeats": args.repeats, "quick": args.quick})

        # Streaming: events of 4096 samples (8 KiB).
        small = os.path.join(folder, "small.wd1")
        # Samples as a digitiser gives them: noise about a baseline.
        noise = np.random.default_rng(1).normal(8192, 30, (16 << 20) // 2 - 12).astype("u2")
        write_uniform(small, "WD1", 32_768 // scale, noise[:4096])
        fs.put_file(small, "bench/small.wd1")
        url, size = "s3://bench/small.wd1", os.path.getsize(small)
        ours, theirs = interleaved_best(
            [lambda: streamed(url, options), lambda: fs.cat_file("bench/small.wd1")], args.repeats
        )
        mib = size / 2**20
        report.comparisons.append(
            Comparison(
                f"BatchReader(url).batches(), {mib:.0f} MiB of 8 KiB events",
                "MiB/s",
                mib / ours,
                "fs.cat_file",
                mib / theirs,
            )
        )

        # Header-only passes over 16 MiB events.
        large = os.path.join(folder, "large.wd1")
        write_uniform(large, "WD1", 16 // scale, noise, step=1)
        fs.put_file(large, "bench/large.wd1")
        url, size = "s3://bench/large.wd1", os.path.getsize(large)
        mib = size / 2**20
        fetched = []
        whole = fs.cat_file

        def counted(path, start=None, end=None, **kwargs):
            data = whole(path, start=start, end=end, **kwargs)
            fetched.append(len(data))
            return data

        fs.cat_file = counted  # the instance the readers get: s3fs caches it by its options
        for label, job in [
            ("num_events(url)", lambda: vesk_arrays.num_events(url, storage_options=options)),
            (
                "read(url, columns=[no data])",
                lambda: vesk_arrays.read(url, columns=["event_counter"], storage_options=options),
            ),
        ]:
            ours, theirs = interleaved_best([job, lambda: whole("bench/large.wd1")], args.repeats)
            fetched.clear()
            job()
            report.comparisons.append(
                Comparison(
                    f"{label}, {mib:.0f} MiB of 16 MiB events",
                    "MiB/s",
                    mib / ours,
                    "fs.cat_file",
                    mib / theirs,
                )
            )
            share = f"KiB in {len(fetched)} requests ({100 * sum(fetched) / size:.3f} % of the object)"
            report.figures.append(Figure(f"{label}: fetched", sum(fetched) / 1024, share))
        print(report.header())
        print(report.table())
    finally:
        server.kill()
        server.wait()


if __name__ == "__main__":
    main()
