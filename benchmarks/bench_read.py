"""Throughput and memory of vesk against the readers a user would write without it.

    python benchmarks/bench_read.py [--repeats N] [--quick] [--json FILE] [--plot FILE.png]

Generates its files in a temporary folder and measures, in this one run:
  * small events (WD1, 256 samples, 200 000 events): vesk beside a hand-written
    NumPy reader (whole file read, struct.unpack_from, numpy.frombuffer, a dict
    per event), in events per second, as a ratio;
  * large events (WD2, 4 channels x 65 536 samples, 256 MiB): vesk beside
    numpy.fromfile, which reads the whole file into one new array (no events,
    no headers decoded), and beside readinto one reused 1 MiB buffer (nothing
    kept: the floor of any reader), in bytes per second, as ratios;
  * memory: peak RSS above the interpreter's baseline while iterating the large
    file, and RSS growth over a million small events.
Each timing is the best of several repeats; the files are read once first so that
every reader meets a warm page cache. --json writes the figures, --plot a bar chart
of the ratios (with matplotlib installed).
"""

import argparse
import os
import struct
import tempfile

import numpy as np

import vesk
from _common import Comparison, Figure, Report, best_time, report, run_probe, warm_page_cache, write_uniform

SMALL_SAMPLES = 256
LARGE_CHANNELS = 4
LARGE_SAMPLES = 65536


def write_small_wd1(path, events):
    waveform = np.arange(SMALL_SAMPLES) * 97
    write_uniform(
        path,
        "WD1",
        events,
        waveform,
        board_id=1,
        board_channel=lambda index: index & 15,
        timestamp=lambda index: 8 * index,
    )


def write_large_wd2(path, total_bytes):
    waveform = np.linspace(-1, 1, LARGE_CHANNELS * LARGE_SAMPLES).reshape(LARGE_CHANNELS, LARGE_SAMPLES)
    events = total_bytes // (4 * waveform.size)
    write_uniform(
        path, "WD2", events, waveform, step=64, timestamp=lambda index: 1000 * index, sampling_period=200
    )
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


MEMORY_PROBE = """
    import gc, sys, vesk, numpy
    from _common import rss
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller files, for a smoke run")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE as JSON")
    parser.add_argument("--plot", metavar="FILE", help="save a bar chart of the ratios to FILE (PNG)")
    options = parser.parse_args()
    small_events = 20_000 if options.quick else 200_000
    large_bytes = (32 if options.quick else 256) << 20
    result = Report("bench_read", {"best of": options.repeats, "quick": options.quick})

    with tempfile.TemporaryDirectory() as folder:
        small = os.path.join(folder, "small.wd1")
        large = os.path.join(folder, "large.wd2")
        write_small_wd1(small, small_events)
        large_events = write_large_wd2(large, large_bytes)
        large_size = os.path.getsize(large)
        warm_page_cache(small, large)

        t_vesk, n = best_time(vesk_count, small, "WD1", repeats=options.repeats)
        assert n == small_events
        t_hand, n = best_time(handwritten_wd1, small, repeats=options.repeats)
        assert n == small_events
        workload = f"small events: WD1, {SMALL_SAMPLES} samples, {small_events:,} events"
        result.comparisons.append(
            Comparison(
                workload,
                "events/s",
                small_events / t_vesk,
                "hand-written struct + numpy.frombuffer reader",
                small_events / t_hand,
            )
        )

        t_vesk, n = best_time(vesk_count, large, "WD2", repeats=options.repeats)
        assert n == large_events
        t_fromfile, _ = best_time(np.fromfile, large, np.uint8, repeats=options.repeats)
        t_floor, _ = best_time(readinto_reused, large, repeats=options.repeats)
        workload = (
            f"large events: WD2, {LARGE_CHANNELS} x {LARGE_SAMPLES} samples, {large_size / 2**20:.0f} MiB"
        )
        gib = large_size / 2**30
        result.comparisons.append(
            Comparison(
                workload,
                "GiB/s",
                gib / t_vesk,
                "numpy.fromfile, whole file into one new array",
                gib / t_fromfile,
            )
        )
        result.comparisons.append(
            Comparison(
                workload,
                "GiB/s",
                gib / t_vesk,
                "readinto one reused 1 MiB buffer, nothing kept (the floor)",
                gib / t_floor,
            )
        )

        event_bytes = 28 + 4 * LARGE_CHANNELS * LARGE_SAMPLES
        peak = int(run_probe(MEMORY_PROBE, "peak", small, large))
        passes = max(1, 1_000_000 // small_events)
        growth = int(run_probe(MEMORY_PROBE, "growth", small, passes))
        result.figures.append(
            Figure(
                f"peak RSS above baseline while streaming {large_size / 2**20:.0f} MiB "
                f"of {event_bytes / 2**20:.1f} MiB events",
                peak / 2**20,
                "MiB",
            )
        )
        result.figures.append(
            Figure(f"RSS growth over {passes * small_events:,} small events", growth / 2**10, "KiB")
        )

    report(result, options.json, options.plot)


if __name__ == "__main__":
    main()
