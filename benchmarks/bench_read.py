"""Throughput and memory of vesk against the readers a user would write without it.

    python benchmarks/bench_read.py [--repeats N] [--quick]

Generates its files in a temporary folder and measures, in this one run:
  * small events (WD1, 256 samples, 200 000 events): vesk beside a hand-written
    NumPy reader (whole file read, struct.unpack_from, numpy.frombuffer, a dict
    per event), in events per second, as a ratio;
  * large events (WD2, 4 channels x 65 536 samples, 256 MiB): vesk beside
    numpy.fromfile of the same file, in bytes per second, as a ratio;
  * memory: peak RSS above the interpreter's baseline while iterating the large
    file, and RSS growth over a million small events.
Each timing is the best of several repeats; the files are read once first so that
every reader meets a warm page cache.
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

import vesk

SMALL_SAMPLES = 256
LARGE_CHANNELS = 4
LARGE_SAMPLES = 65536


def write_small_wd1(path, events):
    samples = (np.arange(SMALL_SAMPLES, dtype="<u2") * 97).tobytes()
    header = struct.Struct("<6i")
    size = 24 + len(samples)
    with open(path, "wb") as f:
        chunk = []
        for i in range(events):
            chunk.append(header.pack(size, 1, 0, i & 15, i, 8 * i) + samples)
            if len(chunk) == 10_000:
                f.write(b"".join(chunk))
                chunk.clear()
        f.write(b"".join(chunk))


def write_large_wd2(path, total_bytes):
    values = LARGE_CHANNELS * LARGE_SAMPLES
    data = np.linspace(-1, 1, values, dtype="<f4").tobytes()
    events = total_bytes // len(data)
    with open(path, "wb") as f:
        for i in range(events):
            f.write(struct.pack("<IQIQi", i, 1000 * i, LARGE_SAMPLES, 200, LARGE_CHANNELS))
            f.write(data)
    return events


def handwritten_wd1(path):
    """The reader a user writes without vesk."""
    with open(path, "rb") as f:
        data = f.read()
    header = struct.Struct("<6i")
    keys = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
    pos, end, count = 0, len(data), 0
    while pos + 24 <= end:
        fields = header.unpack_from(data, pos)
        n = (fields[0] - 24) // 2
        if pos + 24 + 2 * n > end:
            break
        event = dict(zip(keys, fields))
        event["data"] = np.frombuffer(data, np.uint16, n, pos + 24)
        pos += 24 + 2 * n
        count += 1
    return count


def readinto_reused(path):
    """The floor: the file read into one reused 1 MiB buffer, nothing kept."""
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    total = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            n = f.readinto(view)
            if not n:
                return total
            total += n


def vesk_count(path, reader_type):
    count = 0
    for _ in vesk.EventReader(path, reader_type):
        count += 1
    return count


def best_time(function, *args, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


MEMORY_PROBE = """
    import gc, os, sys, vesk, numpy
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    next(iter(vesk.EventReader(sys.argv[2], "WD1")))   # NumPy located, types created
    gc.collect()
    if sys.argv[1] == "peak":
        # sampled after every event, while that event is alive
        baseline = peak = rss()
        for event in vesk.EventReader(sys.argv[3], "WD2"):
            peak = max(peak, rss())
        print(peak - baseline)
    else:
        passes = int(sys.argv[3])
        for event in vesk.EventReader(sys.argv[2], "WD1"):
            pass
        baseline = rss()
        for _ in range(passes):
            for event in vesk.EventReader(sys.argv[2], "WD1"):
                pass
        print(rss() - baseline)
"""


def memory_probe(*args):
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(MEMORY_PROBE), *map(str, args)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return int(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller files, for a smoke run")
    options = parser.parse_args()
    small_events = 20_000 if options.quick else 200_000
    large_bytes = (32 if options.quick else 256) << 20

    with tempfile.TemporaryDirectory() as folder:
        small = os.path.join(folder, "small.wd1")
        large = os.path.join(folder, "large.wd2")
        write_small_wd1(small, small_events)
        large_events = write_large_wd2(large, large_bytes)
        large_size = os.path.getsize(large)
        for path in (small, large):  # warm the page cache
            with open(path, "rb") as f:
                while f.read(1 << 24):
                    pass

        print(
            f"vesk benchmark, Python {sys.version.split()[0]}, NumPy {np.__version__}, "
            f"best of {options.repeats}"
        )

        t_vesk, n = best_time(vesk_count, small, "WD1", repeats=options.repeats)
        assert n == small_events
        t_hand, n = best_time(handwritten_wd1, small, repeats=options.repeats)
        assert n == small_events
        print(f"\nsmall events: WD1, {SMALL_SAMPLES} samples, {small_events} events")
        print(
            f"  vesk          {small_events / t_vesk:12,.0f} events/s  "
            f"{1e9 * t_vesk / small_events:8.0f} ns/event"
        )
        print(
            f"  hand-written  {small_events / t_hand:12,.0f} events/s  "
            f"{1e9 * t_hand / small_events:8.0f} ns/event"
        )
        print(f"  ratio vesk / hand-written: {t_hand / t_vesk:.2f}x")

        t_vesk, n = best_time(vesk_count, large, "WD2", repeats=options.repeats)
        assert n == large_events
        t_raw, _ = best_time(np.fromfile, large, np.uint8, repeats=options.repeats)
        t_floor, _ = best_time(readinto_reused, large, repeats=options.repeats)
        print(
            f"\nlarge events: WD2, {LARGE_CHANNELS} x {LARGE_SAMPLES} samples, {large_size / 2**20:.0f} MiB"
        )
        print(f"  vesk            {large_size / t_vesk / 2**30:6.2f} GiB/s")
        print(f"  numpy.fromfile  {large_size / t_raw / 2**30:6.2f} GiB/s")
        print(f"  ratio vesk / raw read: {t_raw / t_vesk:.2f}x")
        print(
            f"  readinto, one reused 1 MiB buffer (the floor, nothing kept): "
            f"{large_size / t_floor / 2**30:.2f} GiB/s; vesk reaches {t_floor / t_vesk:.2f}x of it"
        )

        event_bytes = 28 + 4 * LARGE_CHANNELS * LARGE_SAMPLES
        peak = memory_probe("peak", small, large)
        passes = max(1, 1_000_000 // small_events)
        growth = memory_probe("growth", small, passes)
        print("\nmemory")
        print(
            f"  peak RSS above baseline while streaming {large_size / 2**20:.0f} MiB: "
            f"{peak / 2**20:.1f} MiB ({peak / event_bytes:.1f} events of {event_bytes / 2**20:.1f} MiB)"
        )
        print(f"  RSS growth over {passes * small_events:,} small events: {growth / 2**10:.0f} KiB")


if __name__ == "__main__":
    main()
