"""vesk_arrays.read beside numpy.fromfile with a structured dtype, and beside an EventReader loop.

    python benchmarks/bench_arrays.py [--repeats N] [--quick]

All figures come from this one run, on files it writes to a temporary folder,
with a warm page cache, best of several repeats, as ratios:
  * WD1 with 16, 256 and 4096 samples per event, and WD2 with 4 x 65 536 floats:
    events per second of vesk_arrays.read against numpy.fromfile on the same
    fixed-size file (which numpy.fromfile can read only because every event has
    the same size, and without any check);
  * a per-event maximum over a WD1 file of 16-sample events: vesk_arrays.read then
    waveforms().max(axis=1), against a vesk.EventReader loop;
  * two threads each reading its own file, against one thread reading one;
  * the ceiling for any reader that returns columns, on the 16-sample file: filling
    fresh arrays of the batch's sizes plus the kernel's copy into a reused buffer;
  * the floor: readinto a freshly allocated page-aligned array of the file's size,
    which no reader that returns new arrays can beat (it pays the same page faults
    and page zeroing), beside numpy.fromfile and a one-shot vesk_arrays.read;
  * files whose events differ in length (WD2 of 512 to 2 048 samples per channel, in random
    order; WD1 whose lengths change every third event), against a fixed-size file of the
    same bytes (bytes per second), and the bytes each read takes from the file;
  * resynchronising: reading past 256 MiB of zeros or random bytes between good WD1
    events, or of random bytes between WD2 events, with errors="skip", against reading
    a file of good events of the same size (bytes per second over the file), and against
    a bare read of the same bytes, also where every field a scan could look for is 0;
  * Batch.reduce (max, mean, argmax) on uniform batches against waveforms() and the same
    NumPy reduction, and on events of 100 to 400 samples against a loop over the events and
    NumPy's reduceat; there argmin and argmax also against min and max;
  * streaming per-event maxima with reduce("max"), and over the segments of the file's own
    mapping, against numpy.memmap and NumPy's max (the reduction shares the usable cores).
  * memory_map=True: streaming and one-shot reads against numpy.memmap and the copying
    read, and cold-cache reads against the disk (see _mapped_rows.py).
"""

import argparse
import mmap
import os
import struct
import tempfile
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vesk
import vesk_arrays
from _common import best_time, write_uniform
from _mapped_rows import mapped_rows, stream_max
from vesk_arrays._samples import reduce_segments


def write_wd1(path, samples, events):
    write_uniform(path, "WD1", events, np.arange(samples) * 7, board_id=1)


def write_wd2(path, events, channels=4, samples=65536):
    waveform = np.linspace(-1, 1, channels * samples).reshape(channels, samples)
    write_uniform(path, "WD2", events, waveform, step=64, timestamp=lambda index: index, sampling_period=200)


def rate(events_per_second):
    if events_per_second >= 1e5:
        return f"{events_per_second / 1e6:.2f} M events/s"
    return f"{events_per_second:,.0f} events/s"


def columnar_ceiling(path, events, fromfile, repeats):
    """The fastest any reader returning a batch's columns could be on this file: writing
    fresh arrays of the batch's sizes (page faults, zeroing, the stores) plus the kernel's
    copy of the file into one reused, cache-resident 1 MiB buffer. Nothing is decoded."""
    batch = vesk_arrays.read(path, "WD1")
    sizes = [(len(column), column.dtype) for column in batch.values()] + [(len(batch) + 1, np.int64)]

    def fill_fresh_columns():
        for length, dtype in sizes:
            np.empty(length, dtype).fill(1)

    def copy_through_buffer():
        raw = np.empty((1 << 20) + 4096, np.uint8)
        buffer = memoryview(raw[(-raw.ctypes.data) % 4096 :][: 1 << 20])
        with open(path, "rb", buffering=0) as f:
            while f.readinto(buffer):
                pass

    least = (
        best_time(fill_fresh_columns, repeats=repeats)[0] + best_time(copy_through_buffer, repeats=repeats)[0]
    )
    return (
        "ceiling for columns, WD1 16 samples",
        f"{rate(events / least)} (fill + copy)",
        f"{rate(events / fromfile)} (fromfile)",
        fromfile / least,
    )


def resync_rows(folder, scale, repeats):
    """Reading on past a damaged stretch (the scan for the next good event), against reading
    good events of the same size."""
    rng = np.random.default_rng(0)
    stretch = (256 << 20) // scale
    good_wd1 = os.path.join(folder, "good.wd1")
    write_wd1(good_wd1, 256, stretch // 536)
    rows = []
    # (Zeros between WD2 events: see resync_bare_rows.)
    for fmt, name, fill in (
        ("WD1", "zeros", bytes(stretch)),
        ("WD1", "random bytes", rng.bytes(stretch)),
        ("WD2", "random bytes", rng.bytes(stretch)),
    ):
        path = os.path.join(folder, f"damaged-{name}.{fmt.lower()}")
        with open(path, "wb") as f:
            for i in range(2000):
                if i == 1000:
                    f.write(fill)
                if fmt == "WD1":
                    f.write(struct.pack("<6i", 24 + 2 * 256, 3, 0, 0, i, i) + bytes(512))
                else:
                    f.write(struct.pack("<IQIQi", i, i, 256, 40, 2) + bytes(2048))
        size = os.path.getsize(path)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vesk_arrays.DamagedEventWarning)
            vesk_arrays.read(path, fmt, errors="skip")
            ours = best_time(
                lambda path=path, fmt=fmt: vesk_arrays.read(path, fmt, errors="skip"), repeats=repeats
            )[0]
        vesk_arrays.read(good_wd1, "WD1")
        theirs = best_time(lambda: vesk_arrays.read(good_wd1, "WD1"), repeats=repeats)[0]
        good_size = os.path.getsize(good_wd1)
        rows.append(
            (
                f"past {stretch >> 20} MiB of {name}, {fmt}",
                f"{size / ours / 1e9:.2f} GB/s",
                f"good WD1 events: {good_size / theirs / 1e9:.2f} GB/s",
                (size / ours) / (good_size / theirs),
            )
        )
    return rows


def uneven_rows(folder, scale, repeats):
    """One-shot reads of files whose events differ in length, against a file of the same
    bytes whose events all have one size; and how many times its bytes the first reads."""
    from vesk_arrays._batch import HEADER_FIELDS, SAMPLE_DTYPES

    rng = np.random.default_rng(0)
    events = 2000 // scale
    cases = (
        ("WD2", "WD2 (512 to 2048) x 4 samples", 4, rng.integers(512, 2049, events)),
        ("WD1", "WD1 1000 to 1100, by threes", 1, np.repeat(rng.integers(1000, 1101, events), 3)),
    )
    for fmt, label, channels, lengths in cases:
        paths = {}
        uniform = np.full(len(lengths), round(lengths.mean()))
        for name, per_event in (("uneven", lengths), ("uniform", uniform)):
            index = np.arange(len(per_event))
            sizes = {"event_size": 24 + 2 * per_event, "board_id": 1}
            if fmt == "WD2":
                sizes = {"samples": per_event, "channels": channels, "sampling_period": 200}
            values = {"event_counter": index, "timestamp": index, **sizes}
            columns = {
                field: np.broadcast_to(values.get(field, 0), len(index)).astype(dtype)
                for field, dtype in HEADER_FIELDS[fmt]
            }
            offsets = np.concatenate([[0], np.cumsum(channels * per_event)])
            columns["data"] = np.arange(offsets[-1]).astype(SAMPLE_DTYPES[fmt])
            paths[name] = os.path.join(folder, f"{name}-{fmt}.{fmt.lower()}")
            vesk_arrays.write(paths[name], vesk_arrays.Batch(fmt, columns, offsets), fmt)
            vesk_arrays.read(paths[name], fmt)
        jobs = {name: lambda path=path, fmt=fmt: vesk_arrays.read(path, fmt) for name, path in paths.items()}
        best = interleaved_best(jobs, repeats)
        speed = {name: os.path.getsize(path) / best[name] / 1e9 for name, path in paths.items()}
        yield (
            f"lengths vary, {label}",
            f"{speed['uneven']:.2f} GB/s",
            f"one size, same bytes: {speed['uniform']:.2f} GB/s",
            speed["uneven"] / speed["uniform"],
        )
        before = bytes_read()
        vesk_arrays.read(paths["uneven"], fmt)
        share = (bytes_read() - before) / os.path.getsize(paths["uneven"])
        yield f"bytes read, {label}", f"{share:.3f} x the file", "target: at most 1.05 x", 1.05 / share


def resync_bare_rows(folder, scale, repeats):
    """Reading on past a damaged stretch, against a bare read of the same file's bytes into a
    buffer: with steady fields that a scan can look for (board 3, period 40), and with every
    steady field 0 (board 0; period 0, single-channel), where it cannot."""
    rng = np.random.default_rng(1)
    stretch = (256 << 20) // scale
    rows = []
    for fmt, steady, name, fill in (
        ("WD1", 3, "zeros", bytes(stretch)),
        ("WD1", 3, "random bytes", rng.bytes(stretch)),
        ("WD1", 0, "zeros", bytes(stretch)),
        ("WD1", 0, "random bytes", rng.bytes(stretch)),
        ("WD2", 40, "random bytes", rng.bytes(stretch)),
        ("WD2", 0, "zeros", bytes(stretch)),
        ("WD2", 0, "random bytes", rng.bytes(stretch)),
    ):
        path = os.path.join(folder, f"damaged-{steady}-{name}.{fmt.lower()}")
        with open(path, "wb") as f:
            for i in range(2000):
                if i == 1000:
                    f.write(fill)
                if fmt == "WD1":
                    f.write(struct.pack("<6i", 24 + 2 * 256, steady, 0, 0, i, 0) + bytes(512))
                else:
                    f.write(struct.pack("<IQIQ", i, 0, 256, steady) + bytes(1024))
        size = os.path.getsize(path)
        buffer = bytearray(size)

        def bare(path=path, buffer=buffer):
            with open(path, "rb", buffering=0) as f:
                f.readinto(buffer)

        def ours(path=path, fmt=fmt):
            batch = vesk_arrays.read(path, fmt, errors="skip")
            assert len(batch) == 2000, (path, len(batch))

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vesk_arrays.DamagedEventWarning)
            ours()
            mine, _ = best_time(ours, repeats=repeats)
        bare()
        reference, _ = best_time(bare, repeats=repeats)
        rows.append(
            (
                f"past {stretch >> 20} MiB of {name}, {fmt}, "
                + (f"steady field {steady}" if steady else "steady fields 0"),
                f"{size / mine / 1e9:.2f} GB/s",
                f"bare read: {size / reference / 1e9:.2f} GB/s",
                reference / mine,
            )
        )
    return rows


def bytes_read():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar")).split()[1])


def interleaved_best(jobs, repeats):
    """The shortest time of each job, the jobs taking turns, so that a drift of the
    machine's speed during the run reaches them all alike."""
    best = dict.fromkeys(jobs, float("inf"))
    for _ in range(repeats):
        for name, job in jobs.items():
            best[name] = min(best[name], best_time(job, repeats=1)[0])
    return best


def stream_rows(folder, scale, repeats, steps=(None,)):
    """The streaming job: each event's maximum, batch by batch, over files of 128 MiB in
    the page cache, at each step (None: the default), against a numpy.fromfile loop at
    its best chunk and numpy.memmap. The ceiling for any reader that copies the file is
    the kernel's copy alone into one reused, page-aligned buffer; with the maximum taken
    meanwhile on another thread, of whole records, and of samples copied out into one
    column as a batch holds them. Then a header-only pass over 256 MiB of 1 MiB events,
    in bytes read."""
    size = (128 << 20) // scale
    for fmt, samples in (("WD1", 16), ("WD1", 256), ("WD1", 4096), ("WD2", None)):
        path = os.path.join(folder, f"stream-{fmt}-{samples}.{fmt.lower()}")
        if fmt == "WD1":
            write_wd1(path, samples, size // (24 + 2 * samples))
            dtype = np.dtype([("h", "<i4", 6), ("d", "<u2", samples)])
            label = f"WD1 {samples} samples"
        else:
            write_wd2(path, max(1, size // (28 + 4 * 4 * 65536)))
            dtype = np.dtype([("h", "V28"), ("d", "<f4", (4, 65536))])
            label = "WD2 4 x 65 536 floats"
        total = os.path.getsize(path)

        def stream(step, path=path, fmt=fmt):
            with vesk_arrays.BatchReader(path, fmt) as reader:
                for batch in reader.batches() if step is None else reader.batches(step):
                    batch.waveforms().max(axis=-1)

        def reduced(path=path, fmt=fmt, memory_map=False):
            with vesk_arrays.BatchReader(path, fmt, memory_map=memory_map) as reader:
                for batch in reader.batches():
                    batch.reduce("max")

        def mapped(path=path, dtype=dtype):
            # The segments of the file's own mapping reduced where they lie: what a batch
            # over the mapping can give.
            with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
                shape = dtype["d"].shape
                starts = np.arange(len(mapping) // dtype.itemsize)[:, None] * dtype.itemsize
                channels = np.arange(int(np.prod(shape[:-1]))) * shape[-1] * dtype["d"].base.itemsize
                starts = (starts + dtype.fields["d"][1] + channels).reshape(-1)
                reduce_segments(mapping, dtype["d"].base, starts, np.full(starts.size, shape[-1]), "max")

        def fromfile(chunk, path=path, dtype=dtype):
            count = max(1, chunk // dtype.itemsize)
            with open(path, "rb") as f:
                while len(part := np.fromfile(f, dtype, count=count)):
                    part["d"].max(axis=-1)

        def memmap(path=path, dtype=dtype):
            np.memmap(path, dtype, mode="r")["d"].max(axis=-1)

        def copy(path=path):
            raw = np.empty((2 << 20) + 4096, np.uint8)
            buffer = raw[(-raw.ctypes.data) % 4096 :][: 2 << 20]
            with open(path, "rb", buffering=0) as f:
                while f.readinto(buffer):
                    pass

        def overlapped(path=path, dtype=dtype):
            # The job with nothing decoded: whole records copied into two reused buffers,
            # the next on another thread while the maximum runs over the last.
            count = max(1, (2 << 20) // dtype.itemsize)
            buffers = [np.empty(count, dtype) for _ in range(2)]
            with open(path, "rb", buffering=0) as f, ThreadPoolExecutor(1) as pool:
                turn = 0
                pending = pool.submit(f.readinto, buffers[0])
                while got := pending.result():
                    pending = pool.submit(f.readinto, buffers[1 - turn])
                    buffers[turn][: got // dtype.itemsize]["d"].max(axis=-1)
                    turn = 1 - turn

        def compacted(path=path, dtype=dtype):
            # The same, but each event's samples copied out of its record into one
            # column, as a batch holds them, on the other thread too: the ceiling for
            # a reader that reads ahead and returns columns.
            count = max(1, (2 << 20) // dtype.itemsize)
            records = np.empty(count, dtype)
            columns = [np.empty((count, *dtype["d"].shape), dtype["d"].base) for _ in range(2)]

            def fill(turn):
                got = f.readinto(records) // dtype.itemsize
                np.copyto(columns[turn][:got], records[:got]["d"])
                return got

            with open(path, "rb", buffering=0) as f, ThreadPoolExecutor(1) as pool:
                turn = 0
                pending = pool.submit(fill, 0)
                while got := pending.result():
                    pending = pool.submit(fill, 1 - turn)
                    columns[turn][:got].max(axis=-1)
                    turn = 1 - turn

        steps = tuple(dict.fromkeys((None, *steps)))  # the default first, always
        jobs = {f"step {step}": lambda step=step: stream(step) for step in steps}
        jobs.update(
            {f"fromfile {chunk}": lambda chunk=chunk: fromfile(chunk << 20) for chunk in (1, 4, 16, 64)}
        )
        jobs.update(memmap=memmap, copy=copy, overlapped=overlapped, compacted=compacted)
        jobs.update(reduced=reduced, mapped=mapped, reduced_mapped=lambda: reduced(memory_map=True))
        # A mapped stream's own work alone: its batches' headers decoded, on one core.
        jobs.update(headers=lambda path=path, fmt=fmt: stream_max(path, fmt, True, reduce=False, prefetch=0))
        stream(None)
        best = interleaved_best(jobs, repeats)
        loop = min(best[f"fromfile {chunk}"] for chunk in (1, 4, 16, 64))
        rate = lambda seconds: f"{total / seconds / 1e9:.2f} GB/s"  # noqa: E731
        for step in steps:
            ours = best[f"step {step}"]
            where = "default step" if step is None else f"step {step}"
            yield f"stream max, {label}, {where}", rate(ours), f"fromfile loop: {rate(loop)}", loop / ours
        ours = best["step None"]
        yield (
            f"stream max, {label}, default step",
            rate(ours),
            f"memmap: {rate(best['memmap'])}",
            best["memmap"] / ours,
        )
        # Target: reduce >= 1.3x memmap where a second core is usable.
        cores = len(os.sched_getaffinity(0))
        for name, what in (
            ("reduced", "stream reduce('max')"),
            ("reduced_mapped", "stream reduce('max'), memory_map=True"),
            ("mapped", "max of the mapping's segments"),
        ):
            yield (
                f"{what}, {label}",
                f"{rate(best[name])} ({cores} cores)",
                f"memmap + max: {rate(best['memmap'])}",
                best["memmap"] / best[name],
            )
        # All a mapped stream's reduce has to do, the headers and the reduction, shared
        # perfectly among the cores: what no split of that work between them can beat.
        shared = best["mapped"] + best["headers"] / cores
        yield (
            f"ceiling: headers + segments' max on {cores} cores, {label}",
            rate(shared),
            f"memmap + max: {rate(best['memmap'])}",
            best["memmap"] / shared,
        )
        yield (
            f"ceiling: the copy alone, {label}",
            rate(best["copy"]),
            f"fromfile loop: {rate(loop)}",
            loop / best["copy"],
        )
        yield (
            f"ceiling: copy ahead + max, {label}",
            rate(best["overlapped"]),
            f"fromfile loop: {rate(loop)}",
            loop / best["overlapped"],
        )
        yield (
            f"ceiling: columns ahead + max, {label}",
            rate(best["compacted"]),
            f"fromfile loop: {rate(loop)}",
            loop / best["compacted"],
        )

    path = os.path.join(folder, "large-events.wd1")
    write_wd1(path, (1 << 20) // 2, max(1, 256 // scale))
    total = os.path.getsize(path)
    for label, job in (
        (
            "header-only read, columns=[timestamp]",
            lambda: vesk_arrays.read(path, "WD1", columns=["timestamp"]),
        ),
        ("num_events", lambda: vesk_arrays.num_events(path, "WD1")),
    ):
        before = bytes_read()
        job()
        share = (bytes_read() - before) / total
        yield f"{label}, 1 MiB events", f"{share:.2%} of the file read", "target: at most 1%", 0.01 / share


def reduce_rows(folder, scale, repeats):
    """Batch.reduce on uniform batches, against waveforms() and the same NumPy reduction; and on
    events of different lengths, against a loop over the events and against NumPy's reduceat
    (how reduce used to run, in NumPy, for such batches)."""
    rows = []
    for fmt, shape, events in (("WD1", (256,), 200_000), ("WD2", (4, 1024), 4_000)):
        path = os.path.join(folder, f"reduce.{fmt.lower()}")
        write_uniform(path, fmt, events // scale, np.arange(np.prod(shape)).reshape(shape) % 1000)
        batch = vesk_arrays.read(path, fmt)
        for op in ("max", "mean", "argmax"):
            ours, _ = best_time(batch.reduce, op, repeats=repeats)
            theirs, _ = best_time(lambda op=op: getattr(batch.waveforms(), op)(axis=-1), repeats=repeats)
            label = f"reduce('{op}'), {fmt} {' x '.join(map(str, shape))}"
            rows.append(
                (label, f"{ours * 1e3:.1f} ms", f"waveforms().{op}(): {theirs * 1e3:.1f} ms", theirs / ours)
            )
    rng = np.random.default_rng(0)
    lengths = rng.integers(100, 400, 100_000 // scale)
    names = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
    columns = {name: np.zeros(len(lengths), np.int32) for name in names}
    columns["data"] = rng.integers(0, 4096, lengths.sum()).astype(np.uint16)
    ragged = vesk_arrays.Batch("WD1", columns, np.concatenate([[0], np.cumsum(lengths)]))
    ours, _ = best_time(ragged.reduce, "max", repeats=repeats)
    loop, _ = best_time(
        lambda: [ragged.event(i)["data"].max() for i in range(len(ragged))], repeats=max(1, repeats // 2)
    )
    label = "reduce('max'), WD1 of 100 to 400 samples"
    rows.append((label, f"{ours * 1e3:.1f} ms", f"loop over events: {loop * 1e3:.1f} ms", loop / ours))
    data, starts = ragged["data"], ragged.offsets[:-1]
    previous = {
        "max": lambda: np.maximum.reduceat(data, starts),
        "mean": lambda: np.add.reduceat(data, starts, dtype=np.float64) / lengths,
    }
    for op, job in previous.items():
        best = interleaved_best({"ours": lambda op=op: ragged.reduce(op), "previous": job}, repeats)
        rows.append(
            (
                f"reduce('{op}'), WD1 of 100 to 400",
                f"{best['ours'] * 1e3:.1f} ms",
                f"NumPy's reduceat: {best['previous'] * 1e3:.1f} ms",
                best["previous"] / best["ours"],
            )
        )
    for op in ("argmin", "argmax"):
        jobs = {name: lambda name=name: ragged.reduce(name) for name in (op, op[3:])}
        best = interleaved_best(jobs, repeats)
        rows.append(
            (
                f"reduce('{op}'), WD1 of 100 to 400",
                f"{best[op] * 1e3:.1f} ms",
                f"reduce('{op[3:]}'): {best[op[3:]] * 1e3:.1f} ms",
                best[op[3:]] / best[op],
            )
        )
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="small files, for a smoke run")
    parser.add_argument("--stream-only", action="store_true", help="only the streaming figures")
    parser.add_argument("--mapped-only", action="store_true", help="only the memory_map=True figures")
    parser.add_argument(
        "--steps", help="streaming steps to compare, comma-separated (default: BatchReader's own)"
    )
    args = parser.parse_args()
    scale = 16 if args.quick else 1
    folder = tempfile.mkdtemp()
    rows = []
    if args.mapped_only:
        for label, ours, theirs, ratio in mapped_rows(folder, scale, args.repeats):
            print(f"{label:<38} {ours:<36} {theirs:<36} {ratio:.2f}x", flush=True)
        return
    if args.stream_only:
        steps = tuple(args.steps.split(",")) if args.steps else (None,)
        for label, ours, theirs, ratio in stream_rows(folder, scale, args.repeats, steps):
            print(f"{label:<38} {ours:<36} {theirs:<36} {ratio:.2f}x", flush=True)
        return

    cases = [("WD1", 16, 4_000_000), ("WD1", 256, 500_000), ("WD1", 4096, 32_000), ("WD2", None, 256)]
    for fmt, samples, events in cases:
        events //= scale
        path = os.path.join(folder, f"{fmt}-{samples}.{fmt.lower()}")
        if fmt == "WD1":
            write_wd1(path, samples, events)
            dtype = np.dtype([("h", "<i4", 6), ("d", "<u2", samples)])
            label = f"WD1, {samples} samples per event"
        else:
            write_wd2(path, events)
            dtype = np.dtype(
                [
                    ("h", "<u4"),
                    ("t", "<u8"),
                    ("s", "<u4"),
                    ("p", "<u8"),
                    ("c", "<i4"),
                    ("d", "<f4", 4 * 65536),
                ]
            )
            label = "WD2, 4 x 65 536 floats per event"
        np.fromfile(path, dtype)  # warm the page cache
        vesk_arrays.read(path, fmt)
        ours = best_time(lambda: vesk_arrays.read(path, fmt), repeats=args.repeats)[0]
        theirs = best_time(lambda: np.fromfile(path, dtype), repeats=args.repeats)[0]
        rows.append(
            (
                label,
                rate(events / ours),
                rate(events / theirs),
                theirs / ours,
            )
        )
        if fmt == "WD1" and samples == 16:
            loop = best_time(
                lambda: [e["data"].max() for e in vesk.EventReader(path, "WD1")],
                repeats=max(1, args.repeats // 2),
            )[0]
            vectorised = best_time(
                lambda: vesk_arrays.read(path, "WD1").waveforms().max(axis=1), repeats=args.repeats
            )[0]
            maximum_row = (
                "per-event maximum, WD1 16 samples",
                f"{vectorised:.3f} s (read + waveforms().max)",
                f"{loop:.3f} s (EventReader loop)",
                loop / vectorised,
            )
            first_wd1 = path
            ceiling_row = columnar_ceiling(path, events, theirs, args.repeats)
    rows.append(maximum_row)
    rows.append(ceiling_row)

    # Two threads, two files (copies of the 4096-sample file), against one thread.
    second = first_wd1 + ".copy"
    big = os.path.join(folder, "WD1-4096.wd1")
    with open(big, "rb") as src, open(second, "wb") as dst:
        dst.write(src.read())
    vesk_arrays.read(second, "WD1")
    one = best_time(lambda: vesk_arrays.read(big, "WD1"), repeats=args.repeats)[0]

    def two_threads():
        threads = [threading.Thread(target=vesk_arrays.read, args=(p, "WD1")) for p in (big, second)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    two = best_time(two_threads, repeats=args.repeats)[0]
    size = os.path.getsize(big)
    rows.append(
        (
            "two threads, two files (WD1 4096)",
            f"{2 * size / two / 2**30:.2f} GiB/s",
            f"one thread: {size / one / 2**30:.2f} GiB/s",
            (2 * size / two) / (size / one),
        )
    )

    # The floor: the kernel's copy into fresh memory, nothing decoded.
    def bare_readinto():
        raw = np.empty(size + 8192, np.uint8)
        start = (-raw.ctypes.data) % 4096
        with open(big, "rb", buffering=0) as f:
            f.readinto(memoryview(raw[start : start + size]))

    best = interleaved_best(
        {
            "floor": bare_readinto,
            "fromfile": lambda: np.fromfile(big, np.dtype([("h", "<i4", 6), ("d", "<u2", 4096)])),
            "read": lambda: vesk_arrays.read(big, "WD1"),
        },
        args.repeats,
    )
    floor = best["floor"]
    for label, name in (("numpy.fromfile", "fromfile"), ("vesk_arrays.read", "read")):
        rows.append(
            (
                f"{label} (WD1 4096) against the floor",
                f"{size / best[name] / 2**30:.2f} GiB/s",
                f"readinto fresh memory: {size / floor / 2**30:.2f} GiB/s",
                floor / best[name],
            )
        )

    rows.extend(uneven_rows(folder, scale, args.repeats))
    rows.extend(resync_rows(folder, scale, args.repeats))
    rows.extend(resync_bare_rows(folder, scale, args.repeats))
    rows.extend(reduce_rows(folder, scale, args.repeats))
    rows.extend(stream_rows(folder, scale, args.repeats))
    rows.extend(mapped_rows(folder, scale, args.repeats))

    print(f"{'workload':<38} {'vesk_arrays':<36} {'reference':<36} ratio")
    for label, ours, theirs, ratio in rows:
        print(f"{label:<38} {ours:<36} {theirs:<36} {ratio:.2f}x")


if __name__ == "__main__":
    main()
