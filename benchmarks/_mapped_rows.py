"""The rows of bench_arrays.py for memory_map=True, each a ratio against a reference measured
in the same run, with the ceiling beside it:

  * streaming each event's maximum, mapped, against numpy.memmap with a structured dtype
    (the same reduction over the mapping, nothing decoded), against the copying stream, and
    against itself without read-ahead,
    at 16, 256 and 4096 WD1 samples and 4 x 65 536 WD2 floats; the ceiling on one core is
    the memmap job plus decoding the headers alone, on two the memmap job plus decoding the
    first batch's headers (the others' overlap the caller's work);
  * a one-shot read(memory_map=True) of a 256 MiB uniform file against the copying read (the
    target: at most 5% of its time), with the ceiling: mapping the file and touching one byte
    of each event's header, nothing decoded;
  * the maximum over unaligned views of WD1 events of odd sizes, against copying them into
    aligned memory first (what decides that odd sizes keep their views);
  * with the file dropped from the page cache first (posix_fadvise DONTNEED, after fsync):
    the mapped read and the streams against a bare sequential read of the same file into one
    reused buffer, the disk's speed; the copying read against a bare read into fresh memory
    of the file's size, its floor (see bare_read_fresh), and against np.fromfile; that floor
    against the bare read. Each is a median of ratios taken in the same round (see cold_rows).
"""

import mmap
import os

import numpy as np

import vesk_arrays
from _common import best_time, write_uniform


def _interleaved(jobs, repeats, before=None):
    """The shortest time of each job, the jobs taking turns; `before` runs ahead of each
    (untimed): the cold rows drop the file from the page cache there."""
    best = dict.fromkeys(jobs, float("inf"))
    for _ in range(repeats):
        for name, job in jobs.items():
            if before is not None:
                before()
            best[name] = min(best[name], best_time(job, repeats=1)[0])
    return best


def stream_max(path, fmt, memory_map, reduce=True, prefetch="auto"):
    with vesk_arrays.BatchReader(path, fmt, memory_map=memory_map, prefetch=prefetch) as reader:
        for batch in reader.batches():
            if reduce:
                batch.waveforms().max(axis=-1)


def drop_from_cache(path):
    with open(path, "rb") as f:
        os.fsync(f.fileno())
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def bare_read(path):
    buffer = bytearray(1 << 20)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def stream_rows(folder, scale, repeats):
    size = (128 << 20) // scale
    for fmt, samples in (("WD1", 16), ("WD1", 256), ("WD1", 4096), ("WD2", None)):
        path = os.path.join(folder, f"mapped-{fmt}-{samples}.{fmt.lower()}")
        if fmt == "WD1":
            write_uniform(path, "WD1", size // (24 + 2 * samples), np.arange(samples) * 7, board_id=1)
            dtype = np.dtype([("h", "<i4", 6), ("d", "<u2", samples)])
            label = f"WD1 {samples} samples"
        else:
            waveform = np.linspace(-1, 1, 4 * 65536).reshape(4, 65536)
            write_uniform(path, "WD2", max(1, size // (28 + 16 * 65536)), waveform, step=64)
            dtype = np.dtype([("h", "V28"), ("d", "<f4", (4, 65536))])
            label = "WD2 4 x 65 536 floats"
        total = os.path.getsize(path)
        jobs = {
            "mapped": lambda path=path, fmt=fmt: stream_max(path, fmt, True),
            "copied": lambda path=path, fmt=fmt: stream_max(path, fmt, False),
            "memmap": lambda path=path, dtype=dtype: np.memmap(path, dtype, mode="r")["d"].max(axis=-1),
            "mapped, no read-ahead": lambda path=path, fmt=fmt: stream_max(path, fmt, True, prefetch=0),
            "headers": lambda path=path, fmt=fmt: stream_max(path, fmt, True, reduce=False, prefetch=0),
        }
        jobs["mapped"]()
        best = _interleaved(jobs, repeats)
        speed = lambda seconds: f"{total / seconds / 1e9:.2f} GB/s"  # noqa: E731
        yield (
            f"stream max mapped, {label}",
            speed(best["mapped"]),
            f"np.memmap: {speed(best['memmap'])}",
            best["memmap"] / best["mapped"],
        )
        yield (
            f"stream max mapped, {label}",
            speed(best["mapped"]),
            f"copying stream: {speed(best['copied'])}",
            best["copied"] / best["mapped"],
        )
        # The overlap that read-ahead brings: the next batch's headers decoded on the second
        # core while the caller works on this one's samples.
        yield (
            f"read-ahead: stream max mapped, {label}",
            speed(best["mapped"]),
            f"prefetch=0: {speed(best['mapped, no read-ahead'])}",
            best["mapped, no read-ahead"] / best["mapped"],
        )
        # With the headers of every batch but the first decoded on the second core while the
        # caller works on the batch before, the first batch's are what is left to wait for.
        with vesk_arrays.BatchReader(path, fmt, memory_map=True) as reader:
            batches = sum(1 for _ in reader.batches())
        overlapped = best["memmap"] + best["headers"] / max(1, batches)
        yield (
            f"ceiling: memmap + first batch's headers, {label}",
            speed(overlapped),
            f"np.memmap: {speed(best['memmap'])}",
            best["memmap"] / overlapped,
        )
        # What one core allows a reader that checks every header: the memmap job plus the
        # decoding of the headers into columns alone; a second core free overlaps the two.
        one_core = best["memmap"] + best["headers"]
        yield (
            f"ceiling: memmap + headers, {label}",
            speed(one_core),
            f"np.memmap: {speed(best['memmap'])}",
            best["memmap"] / one_core,
        )


def one_shot_rows(folder, scale, repeats):
    path = os.path.join(folder, "mapped-one-shot.wd1")
    samples = 4096
    events = (256 << 20) // scale // (24 + 2 * samples)
    write_uniform(path, "WD1", events, np.arange(samples), board_id=1)

    def touch_headers():
        # The ceiling for any mapped read that looks at every header: one byte of each.
        mapped = np.memmap(path, np.uint8, mode="c")
        int(mapped[:: 24 + 2 * samples].sum())

    best = _interleaved(
        {
            "mapped": lambda: vesk_arrays.read(path, "WD1", memory_map=True),
            "copied": lambda: vesk_arrays.read(path, "WD1"),
            "touch": touch_headers,
        },
        repeats,
    )
    share = best["mapped"] / best["copied"]
    yield (
        "one-shot read mapped, 256 MiB WD1 4096",
        f"{best['mapped'] * 1e3:.2f} ms, {share:.2%} of the copying read",
        f"copying read: {best['copied'] * 1e3:.1f} ms",
        0.05 / share,
    )
    yield (
        "ceiling: map + touch each header",
        f"{best['touch'] * 1e3:.2f} ms",
        f"copying read: {best['copied'] * 1e3:.1f} ms",
        0.05 / (best["touch"] / best["copied"]),
    )


def odd_rows(folder, scale, repeats):
    """WD1 events of odd sizes (a pad byte after each): every other event's samples lie at an
    odd address. The views stay unaligned; a copy into aligned memory first costs more."""
    samples = 256
    dtype = np.dtype([("h", "<i4", 6), ("d", "<u2", samples), ("pad", "u1")])
    records = np.zeros((64 << 20) // scale // dtype.itemsize, dtype)
    records["h"][:, 0] = dtype.itemsize
    records["h"][:, 4] = np.arange(len(records))
    records["d"] = np.arange(samples)
    path = os.path.join(folder, "mapped-odd.wd1")
    records.tofile(path)
    waves = vesk_arrays.read(path, "WD1", memory_map=True)[1:].waveforms()[::2]  # the odd addresses
    assert not waves.flags.aligned
    jobs = {"view": lambda: waves.max(axis=-1), "copy": lambda: np.ascontiguousarray(waves).max(axis=-1)}
    best = _interleaved(jobs, repeats)
    yield (
        "max of unaligned views, WD1 256 odd",
        f"{best['view'] * 1e3:.2f} ms",
        f"aligned copy + max: {best['copy'] * 1e3:.2f} ms",
        best["copy"] / best["view"],
    )


def bare_read_fresh(path):
    """A bare sequential read into fresh memory of the file's size, with the hint for huge
    pages that NumPy gives its large arrays and the reader its large blocks: what any one-shot
    read that hands the bytes over in memory does. Fresh memory costs what the machine charges
    for it, which on a virtual machine whose host takes back the pages its guest leaves free
    can be far more than the disk's speed: then this, not the bare read, is their floor."""
    size = os.path.getsize(path)
    buffer = mmap.mmap(-1, max(size, 1))
    buffer.madvise(mmap.MADV_HUGEPAGE)
    with open(path, "rb", buffering=0) as f, memoryview(buffer) as view:
        done = 0
        while done < size and (got := f.readinto(view[done : done + (1 << 20)])):
            done += got
    buffer.close()


def cold_rows(folder, scale, repeats):
    """Each job timed right after the reference it is compared with, both from a cold cache,
    and the median of those ratios: the disk's speed drifts between runs and within one, and
    a ratio of two times taken apart would show the drift, not the reader."""
    path = os.path.join(folder, "mapped-cold.wd1")
    samples = 256
    write_uniform(path, "WD1", (256 << 20) // scale // (24 + 2 * samples), np.arange(samples), board_id=1)
    total = os.path.getsize(path)
    references = {
        "bare sequential read": lambda: bare_read(path),
        "bare read into fresh memory": lambda: bare_read_fresh(path),
        "np.fromfile": lambda: np.fromfile(path, np.uint8),
    }
    read = lambda: vesk_arrays.read(path, "WD1")  # noqa: E731
    fresh = "bare read into fresh memory"
    pairs = [
        ("cold read", read, fresh),
        ("cold read", read, "np.fromfile"),
        ("cold read mapped", lambda: vesk_arrays.read(path, "WD1", memory_map=True), "bare sequential read"),
        ("cold stream", lambda: stream_max(path, "WD1", False), "bare sequential read"),
        ("cold stream mapped", lambda: stream_max(path, "WD1", True), "bare sequential read"),
        (f"ceiling: {fresh}", references[fresh], "bare sequential read"),
    ]

    def cold_time(job):
        drop_from_cache(path)
        return best_time(job, repeats=1)[0]

    ratios, seconds = [[] for _ in pairs], [[] for _ in pairs]
    for _ in range(max(3, repeats)):
        for i, (_, job, reference) in enumerate(pairs):
            against = cold_time(references[reference])
            took = cold_time(job)
            ratios[i].append(against / took)
            seconds[i].append(took)
    for (label, _, reference), ratio, took in zip(pairs, ratios, seconds):
        yield (
            f"{label}, WD1 256",
            f"{total / float(np.median(took)) / 1e6:.0f} MB/s",
            f"{reference}, same round (median of {len(ratio)})",
            float(np.median(ratio)),
        )


def mapped_rows(folder, scale, repeats):
    yield from stream_rows(folder, scale, repeats)
    yield from one_shot_rows(folder, scale, repeats)
    yield from odd_rows(folder, scale, repeats)
    yield from cold_rows(folder, scale, repeats)
