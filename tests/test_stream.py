"""Streaming: batches read ahead, recycled memory and header-only reads change nothing a
caller sees but the speed."""

import os
import tempfile
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk_arrays as va
from wdfiles import run_python, wd1_event, wd2_event

ERRORS = st.sampled_from(["raise", "skip"])
OPERATIONS = st.lists(
    st.tuples(st.sampled_from(["next", "next", "next", "read", "skip", "state"]), st.integers(0, 7)),
    max_size=25,
)


@st.composite
def stream_files(draw):
    """(format, file bytes): events of a few sizes, now and then a damaged header."""
    reader_type = draw(st.sampled_from(["WD1", "WD2"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    events = []
    for i in range(draw(st.integers(0, 40))):
        n = draw(st.sampled_from([0, 3, 64, 64, 64, 700]))
        if reader_type == "WD1":
            events.append(wd1_event(rng.integers(0, 65536, n), board_id=3, event_counter=i))
        else:
            events.append(wd2_event(rng.standard_normal(2 * n).astype("f4"), counter=i, period=8, channels=2))
        if draw(st.integers(0, 15)) == 0:
            events.append(b"\xff" * 32)  # a header whose length cannot be
    return reader_type, b"".join(events)


def replay(path, reader_type, operations, step, errors, prefetch):
    """What a caller sees of `operations` applied to one reader; every batch is kept, as
    views only, to the end, so that memory reused under them would show."""
    seen = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", va.DamagedEventWarning)
        with va.BatchReader(path, reader_type, errors=errors, prefetch=prefetch) as reader:
            batches = reader.batches(step)
            for operation, n in operations:
                try:
                    if operation == "next":
                        batch = next(batches, None)
                        seen.append(None if batch is None else (batch.start, batch.stop, dict(batch.items())))
                        if batch is None:
                            batches = reader.batches(step)
                    elif operation == "read":
                        batch = reader.read(n)
                        seen.append((batch.start, batch.stop, {k: v[:] for k, v in batch.items()}))
                    elif operation == "skip":
                        seen.append(reader.skip(n))
                    else:
                        seen.append((reader.events_read, reader.position, reader.trailing_bytes))
                        seen.append((reader.damaged_count, reader.skipped, reader.skipped_bytes))
                except va.DamagedEventError as error:
                    seen.append(str(error))
                    batches = reader.batches(step)
    return seen


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(np.array_equal(a[k].view("u1"), b[k].view("u1")) for k in a)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


@settings(max_examples=150, deadline=None)
@given(
    stream_files(), OPERATIONS, st.sampled_from([1, 5, "1 KiB", "100 B"]), st.sampled_from(["raise", "skip"])
)
def test_read_ahead_and_recycled_memory_change_nothing_seen(file, operations, step, errors):
    reader_type, data = file
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "events.dat")
        with open(path, "wb") as f:
            f.write(data)
        operations = operations + [("next", 0)] * 4
        expected = replay(path, reader_type, operations, step, errors, prefetch=0)
        assert same(replay(path, reader_type, operations, step, errors, prefetch=1), expected)


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_header_columns_alone_skip_every_payload(tmp_path, reader_type):
    path = tmp_path / "large.dat"
    n = 1 << 18  # 1 MiB of samples per event
    with open(path, "wb") as f:
        for i in range(16):
            if reader_type == "WD1":
                f.write(wd1_event(np.full(2 * n, i, "u2"), event_counter=i, timestamp=7 * i))
            else:
                f.write(wd2_event(np.full(n, i, "f4"), counter=i, timestamp=7 * i, period=8, channels=1))
    full = va.read(path, reader_type)
    names = ["timestamp", "event_counter"]

    def rchar():
        with open("/proc/self/io") as f:
            return int(next(line for line in f if line.startswith("rchar")).split()[1])

    before = rchar()
    headers = va.read(path, reader_type, columns=names)
    counted = va.num_events(path, reader_type)
    assert rchar() - before < 0.01 * 2 * os.path.getsize(path)
    assert counted == len(headers) == 16
    assert list(headers.keys()) == ["event_counter", "timestamp"]
    for name in names:
        assert np.array_equal(headers[name], full[name])
    with pytest.raises(KeyError):
        headers["data"]
    with pytest.raises(ValueError, match="no column 'samplez'"):
        va.read(path, reader_type, columns=["samplez"])


@pytest.mark.parametrize("compression", [None, "gzip", "bz2", "lzma"])
def test_fork_while_reading_reads_on_in_both(tmp_path, compression):
    # A batch read ahead at the fork, or a decompressor: the two processes share the
    # descriptor, and each reads on at its own offset.
    data = b"".join(wd1_event(np.arange(i % 100), event_counter=i) for i in range(20000))
    path = tmp_path / "events.dat"
    path.write_bytes(data if compression is None else __import__(compression).compress(data))
    result = run_python(
        f"""
        import os, warnings, numpy as np, vesk_arrays as va
        warnings.simplefilter("error")
        reader = va.BatchReader({str(path)!r}, "WD1", prefetch=1)
        batches = reader.batches(100)
        first = next(batches)
        pid = os.fork()
        rest = [b["event_counter"] for b in batches]
        counters = np.concatenate([first["event_counter"]] + rest)
        ok = np.array_equal(counters, np.arange(20000, dtype="i4"))
        if pid == 0:
            os._exit(0 if ok else 3)
        assert ok and os.waitpid(pid, 0)[1] == 0
        """
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="threads are counted in /proc")
def test_one_read_ahead_thread_per_reader_until_it_closes(tmp_path):
    path = tmp_path / "events.dat"
    path.write_bytes(b"".join(wd1_event(np.arange(64), event_counter=i) for i in range(2000)))
    before = set(os.listdir("/proc/self/task"))
    reader = va.BatchReader(path, "WD1", prefetch=1)
    started = set()
    for _ in reader.batches(100):
        started |= set(os.listdir("/proc/self/task")) - before
    assert len(started) == 1
    reader.close()
    assert set(os.listdir("/proc/self/task")) == before


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"prefetch": 2}, ValueError),
        ({"prefetch": "always"}, TypeError),
        ({"columns": "data"}, TypeError),
        ({"columns": []}, ValueError),
    ],
)
def test_stream_options_are_checked(tmp_path, options, error):
    path = tmp_path / "one.wd1"
    path.write_bytes(wd1_event([1, 2]))
    with pytest.raises(error):
        va.BatchReader(path, "WD1", **options)
    with pytest.raises(error):
        va.iterate(path, "WD1", **options)
