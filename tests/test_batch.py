"""vesk_arrays: batches of columns agree with EventReader, event for event and bit for bit."""

import contextlib
import io
import os
import pathlib
import pickle
import random
import struct
import threading
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vesk
import vesk_arrays as va
import wdfiles
from wdfiles import FAULT, WD2_KEYS, collect, run_python, wd1_event, wd2_event

ASSERT_SAME = {"WD1": wdfiles.assert_same_wd1, "WD2": wdfiles.assert_same_wd2}


def reference(path, fmt, panic):
    """EventReader's events, FAULT where it faults."""
    return collect(vesk.EventReader(path, fmt), panic)


def batch_events(batches):
    return [batch.event(i) for batch in batches for i in range(len(batch))]


@st.composite
def event_files(draw):
    """(format, bytes): runs of events of one size (read in runs, from the buffer or
    scatter-read) between events of other sizes; WD1 with odd sizes and damaged headers,
    WD2 in both layouts with NaN payloads among its samples; perhaps cut anywhere."""
    kind = draw(st.sampled_from(["WD1", "WD2-single", "WD2-multi"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    channels = draw(st.integers(1, 3)) if kind == "WD2-multi" else None
    steady, counter = (int(w) for w in rng.integers(0, 2**32, 2))  # board or period; first counter
    parts = []
    damaged = wd1_event(event_size=draw(st.integers(-50, 23)), board_id=steady)  # 23: not damaged, no samples
    for _ in range(draw(st.integers(1, 4))):
        n = draw(st.one_of(st.integers(0, 40), st.sampled_from([64, 128, 300, 2048, 5000])))
        # WD1: how often an event has a pad byte after its samples, or a damaged header before it
        odd_rate, damage_rate = draw(st.sampled_from([0, 0.1, 1])), draw(st.sampled_from([0, 0.02, 0.5]))
        for _ in range(min(draw(st.integers(1, 400)), (3 << 19) // (4 * n * (channels or 1) + 28))):
            counter = (counter + 1) % 2**32
            a, b, c = (int(w) for w in rng.integers(0, 2**32, 3))
            if kind == "WD1":
                parts += [damaged] * (rng.random() < damage_rate)
                odd = int(rng.random() < odd_rate)
                samples, size, pad = rng.integers(0, 2**16, n), 24 + 2 * n + odd, b"\x07" * odd
                fields = {"board_id": steady, "pattern": a, "board_channel": b, "timestamp": c}
                parts.append(
                    wd1_event(samples, event_size=size, trailing=pad, event_counter=counter, **fields)
                )
                continue
            values = rng.integers(0, 2**32, n * (channels or 1), dtype="<u4")
            values[rng.random(values.size) < 0.2] |= 0x7F800001  # NaNs, each with its own payload
            fields = {"counter": counter, "timestamp": a << 32 | b, "samples": n, "period": steady}
            parts.append(wd2_event(values.tobytes(), channels=channels, **fields))
    parts += [damaged] * (kind == "WD1" and draw(st.booleans()))
    data = b"".join(parts)
    return kind[:3], data[: draw(st.integers(0, len(data)))] if draw(st.booleans()) else data


class Pipe(io.BytesIO):
    """A pipe's reads: at most `most` bytes at a time (a thousand calls at most), and no bytes
    ready (None) once at each offset of `stalls`."""

    def __init__(self, data, most, stalls=()):
        super().__init__(data)
        self.most, self.stalls = max(most, len(data) >> 10), list(stalls)

    def readinto(self, buffer):
        if self.stalls and self.tell() == self.stalls[0]:
            del self.stalls[0]
            return None
        until = self.stalls[0] if self.stalls else 2**62
        return super().readinto(memoryview(buffer)[: min(self.most, until - self.tell())])


def opened(kind, path, data, most):
    """The file as its path, a file object, or a pipe's stream."""
    if kind == "path":
        return contextlib.nullcontext(str(path))
    return open(path, "rb") if kind == "file" else Pipe(data, most)


@given(
    event_files(),
    st.sampled_from(["path", "file", "pipe"]),
    st.one_of(st.none(), st.integers(1, 600), st.integers(1, 70_000).map("{} B".format)),
    st.sampled_from(["raise", "skip"]),
    st.integers(1, 5000),
)
def test_batches_are_eventreaders_events(tmp_path_factory, PanicException, file, kind, step, errors, most):
    fmt, data = file
    path = tmp_path_factory.mktemp("batches") / "f.bin"
    path.write_bytes(data)
    try:
        expected = reference(str(path), fmt, PanicException)
    except (OSError, PanicException) as error:  # a WD2 file whose layout cannot be told
        if len(data) < 28:  # nor can it yet: no events so far, all its bytes trailing
            with opened(kind, path, data, most) as f, va.BatchReader(f, fmt) as reader:
                assert len(reader.read(10)) == 0 and reader.trailing_bytes == len(data)
            return
        # The first event's length overflowing (a fault of EventReader's) is damage.
        with opened(kind, path, data, most) as f:
            with pytest.raises(OSError if isinstance(error, OSError) else va.DamagedEventError):
                va.read(f, fmt)
        return
    good, faults = [e for e in expected if e != FAULT], expected.count(FAULT)
    if step is None and errors == "raise" and faults:
        with opened(kind, path, data, most) as f, pytest.raises(va.DamagedEventError):
            va.read(f, fmt)
        return
    batches, raised = [], 0
    with warnings.catch_warnings(record=True) as warned, opened(kind, path, data, most) as f:
        warnings.simplefilter("always")
        if step is None:  # the whole file in one call
            batches = [va.read(f, fmt, errors=errors)]
        else:
            with va.BatchReader(f, fmt, errors=errors) as reader:
                while True:
                    try:
                        for batch in reader.batches(step):
                            batches.append(batch)
                        break
                    except va.DamagedEventError:
                        raised += 1  # reading goes on after the damaged event
    ASSERT_SAME[fmt](batch_events(batches), good)
    if isinstance(step, int):  # full but for the last, and those that end at damage
        assert all(len(b) == step or faults for b in batches[:-1]) and all(len(b) <= step for b in batches)
    assert raised == (faults if errors == "raise" else 0)
    assert [w.category for w in warned] == [va.DamagedEventWarning] * (errors == "skip" and faults > 0)
    assert all(f"skipped {faults} damaged event" in str(w.message) for w in warned)
    if kind == "path":
        assert va.num_events([path, path], fmt) == 2 * len(good)


def test_a_stream_that_stalls_inside_an_event_larger_than_its_buffer_gives_it_whole():
    # A stream cannot go back: it keeps an event's bytes until the event is complete, in a
    # buffer grown past its megabyte, and a call that stalls inside the event leaves them
    # there for the next call to read the event from its first byte.
    samples = [np.arange(n, dtype="f4") for n in (3, 1_500_000, 5)]
    data = b"".join(wd2_event(s, counter=i, period=5) for i, s in enumerate(samples))
    batches = []
    with va.BatchReader(Pipe(data, 2**30, [3_000_000, 5_000_000]), "WD2") as reader:
        for _ in range(5):
            with contextlib.suppress(BlockingIOError):
                batches.append(reader.read(10))
    # (Where a stall comes first depends on how far the reader looks ahead to confirm a length.)
    assert sum(len(b) for b in batches) == 3 and len(batches[-1]) == 0
    np.testing.assert_array_equal(np.concatenate([b["data"] for b in batches]), np.concatenate(samples))


@pytest.mark.parametrize("samples", [0, 100])  # event by event (no samples to run); in runs
@pytest.mark.parametrize("over", [0, 1])
def test_a_byte_limit_takes_the_event_that_reaches_it_exactly(write, samples, over):
    limit = 3 * (2 * samples + 6 * 4 + 8) - over  # an event's samples, header fields and offset
    path = write(b"".join(wd1_event(np.arange(samples), event_counter=i) for i in range(12)))
    with va.BatchReader(path, "WD1") as reader:
        assert [len(b) for b in reader.batches(f"{limit} B")] == [3 - over] * (12 // (3 - over))


@pytest.mark.parametrize("period", [5, 6])
def test_a_single_channel_reading_holds_only_with_the_same_sampling_period(write, period):
    # The first sample, read as a channel count, sends the multi-channel reading past the
    # end of the file: the layout is single-channel if the next 24-byte header continues
    # the first (next counter, same period), else it cannot be told.
    first = wd2_event(struct.pack("<I", 1000), counter=7, samples=1, period=5)
    path = write(first + wd2_event(b"", counter=8, samples=0, period=period))
    with pytest.raises(OSError, match="layout") if period != 5 else contextlib.nullcontext():
        assert va.read(path, "WD2")["event_counter"].tolist() == [7, 8]


def test_damaged_event_is_reported_once_and_reading_goes_on(write):
    data = wd1_event([1], event_counter=0) + wd1_event(event_size=22) + wd1_event([2], event_counter=1)
    path = write(data)
    with va.BatchReader(path, "WD1") as reader:
        assert list(reader.read(10)["event_counter"]) == [0]
        with pytest.raises(va.DamagedEventError) as error:
            reader.read(10)
        assert (error.value.path, error.value.index, error.value.offset) == (path, 1, 26)
        assert isinstance(error.value, ValueError) and path in str(error.value)
        copy = pickle.loads(pickle.dumps(error.value))  # as Dask and multiprocessing send it
        assert type(copy) is va.DamagedEventError and str(copy) == str(error.value)
        assert (copy.path, copy.index, copy.offset, copy.reason) == (path, 1, 26, error.value.reason)
        # EventReader goes on after the damaged header: so does the batch reader.
        rest = reader.read(10)
        assert rest.start == 2 and len(rest) >= 1
    with pytest.raises(va.DamagedEventError):
        va.read(path, "WD1")
    with va.BatchReader(path, "WD1") as reader:
        assert reader.skip(5) == 1  # stops before the damaged event...
        with pytest.raises(va.DamagedEventError):  # ...which the next call reports
            reader.skip(5)
        assert reader.skip(5) >= 1 and reader.events_read >= 3
    with pytest.warns(va.DamagedEventWarning, match="1 damaged"):
        assert len(va.read(path, "WD1", errors="skip")) >= 1


@pytest.mark.parametrize("start, stop", [(0, None), (2, 5), (3, 100), (10, 20), (4, 4), (5, 3), (12, 3)])
def test_start_and_stop_slice_like_python(write, start, stop):
    path = write(b"".join(wd1_event([i] * i, event_counter=i) for i in range(10)))
    batch = va.read(path, "WD1", start=start, stop=stop)
    assert list(batch["event_counter"]) == list(range(10))[start:stop]
    assert batch.start == min(start, 10)


def test_columns_offsets_and_waveforms(write):
    path = write(b"".join(wd2_event(np.full(6, i, "f4"), counter=i, samples=3, channels=2) for i in range(5)))
    batch = va.read(path, "WD2")
    assert [batch[k].dtype for k in WD2_KEYS[:-1]] == ["u4", "u8", "u4", "u8", "i4"]
    assert batch.offsets.tolist() == [0, 6, 12, 18, 24, 30]
    waves = batch.waveforms()
    assert waves.shape == (5, 2, 3) and np.shares_memory(waves, batch["data"])
    assert (waves[:, 0, 0] == np.arange(5)).all()
    ragged = va.read(write(wd1_event([1]) + wd1_event([1, 2])), "WD1")
    with pytest.raises(ValueError, match="offsets"):
        ragged.waveforms()


def test_read_allocates_for_what_the_file_holds(write):
    with va.BatchReader(write(wd1_event([1, 2])), "WD1") as reader:
        batch = reader.read(10**15)
    assert len(batch) == 1 and batch.nbytes < 1000


@pytest.mark.parametrize(
    "args, error",
    [
        ((b"x.wd1", "WD1"), TypeError),
        ((3, "WD1"), TypeError),
        (("missing.wd1", "WD1"), FileNotFoundError),
        (("/", "WD1"), IsADirectoryError),
        (("file", "wd1"), ValueError),
        (("file", None), ValueError),  # a name that does not tell the format
        (("file", 1), TypeError),
    ],
)
def test_bad_arguments(write, args, error):
    path = args[0]
    if path == "file":
        path = write(wd1_event([1]))
    with pytest.raises(error):
        va.read(path, args[1])


@pytest.mark.parametrize("step", [0, -1, "lots", "12 parsecs", 1.5])
def test_bad_step_sizes(write, step):
    with va.BatchReader(write(wd1_event([1])), "WD1") as reader, pytest.raises((ValueError, TypeError)):
        next(reader.batches(step))


@pytest.mark.parametrize("step, count", [("1e6", "1_000_000"), (" 2.5E3", "2_500"), ("1.5e0", "an int")])
def test_a_count_of_events_written_as_a_str_is_refused_with_the_int(write, step, count):
    with va.BatchReader(write(wd1_event([1])), "WD1") as reader:
        with pytest.raises(ValueError, match=f"count of events is an int: {count}"):
            next(reader.batches(step))


def test_close_twice_and_read_after_close(write):
    reader = va.BatchReader(pathlib.Path(write(wd1_event([1]))), "WD1")
    reader.close()
    reader.close()
    with pytest.raises(ValueError, match="closed"):
        reader.read(1)


def test_one_reader_shared_by_threads_loses_and_repeats_nothing(write):
    count = 20_000
    path = write(b"".join(wd1_event([i & 0xFFFF] * 8, event_counter=i) for i in range(count)))
    reader = va.BatchReader(path, "WD1")
    seen = []

    def work():
        while True:
            batch = reader.read(random.randint(1, 300))
            if not len(batch):
                return
            seen.append(batch["event_counter"].copy())

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    reader.close()
    assert sorted(np.concatenate(seen).tolist()) == list(range(count))


def test_growing_file_is_followed_event_by_event(tmp_path):
    path = tmp_path / "live.wd2"
    data = b"".join(
        wd2_event(np.arange(4, dtype="f4") + i, counter=i, samples=2, channels=2) for i in range(300)
    )
    path.write_bytes(data[:50])  # not even two events: the layout cannot be told yet
    with pytest.raises(OSError):
        va.BatchReader(path, "WD2")
    path.write_bytes(data[:200])
    reader = va.BatchReader(path, "WD2")
    got = []
    with open(path, "ab") as f:
        for offset in range(200, len(data), 37):
            f.write(data[offset : offset + 37])
            f.flush()
            got += reader.read(1000)["event_counter"].tolist()
    got += reader.read(1000)["event_counter"].tolist()
    reader.close()
    assert got == list(range(300))


def test_streaming_a_large_file_keeps_memory_within_two_batches(tmp_path):
    path = tmp_path / "big.wd1"
    event = wd1_event(np.arange(4096), event_counter=1)
    with open(path, "wb") as f:
        for _ in range(64):
            f.write(event * 256)  # 64 x 2 MiB
    result = run_python(f"""
        import resource, vesk_arrays
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        n = sum(len(b) for b in vesk_arrays.BatchReader({str(path)!r}, "WD1").batches("8 MiB"))
        print(n, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    assert result.returncode == 0, result.stderr
    events, grown_mib = map(int, result.stdout.split())
    assert events == 64 * 256
    assert grown_mib < 3 * 8 + 4


def test_two_readers_in_two_threads_run_at_once(tmp_path):
    # The lock is released while reading: a thread that only needs the
    # interpreter keeps running while the other reads.
    path = tmp_path / "f.wd1"
    path.write_bytes(wd1_event(np.arange(4096)) * 20_000)
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)

    ticker = threading.Thread(target=tick)
    ticker.start()
    for _ in range(3):
        va.read(path, "WD1")
    done.set()
    ticker.join()
    assert len(ticks) > 1000


def test_fifo_wd2_is_probed_without_rewinding(tmp_path):
    data = b"".join(wd2_event(np.arange(6, dtype="f4"), counter=i, samples=3, channels=2) for i in range(50))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(data))
    writer.start()
    batch = va.read(fifo, "WD2")
    writer.join()
    assert batch["event_counter"].tolist() == list(range(50))
    assert batch.waveforms().shape == (50, 2, 3)


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
@pytest.mark.parametrize("samples", [16, 128])  # from the buffer; scatter-read
@pytest.mark.parametrize("odd_one", [255, 256, 257, 511, 512, 1500])
def test_long_runs_end_exactly_at_the_event_that_differs(write, PanicException, fmt, samples, odd_one):
    # Runs are committed a few hundred events at a time: an event that breaks
    # the run on either side of such a boundary must end it there, and the run
    # must go on whole across the boundaries before it.
    parts = []
    for i in range(2000):
        n = samples + 1 if i == odd_one else samples
        if fmt == "WD1":
            parts.append(wd1_event(np.full(n, i % 65536), event_counter=i))
        else:
            parts.append(wd2_event(np.full(2 * n, float(i)), counter=i, samples=n, channels=2, period=7))
    path = write(b"".join(parts))
    expected = reference(path, fmt, PanicException)
    for step in [None, 300]:
        with va.BatchReader(path, fmt) as reader:
            batches = [reader.read(10**9)] if step is None else list(reader.batches(step))
        ASSERT_SAME[fmt](batch_events(batches), expected)


def bytes_read():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar")).split()[1])


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
@pytest.mark.parametrize("samples", [100, 1500, 150_000])  # runs in place; scatter-read; headers first
@pytest.mark.parametrize("pattern", ["one size", "random", "alternating", "by threes", "long runs"])
def test_every_byte_of_a_file_is_read_once(write, fmt, samples, pattern):
    # Runs read ahead of their headers, guessing that events go on alike; where
    # lengths change the bytes read past the change are decoded, not read again.
    rng = np.random.default_rng(0)
    count = max((4 << 20) // (4 * samples), 12)
    extra = {
        "one size": np.zeros(count, int),
        "random": rng.integers(0, samples, count),
        "alternating": np.arange(count) % 2,
        "by threes": np.arange(count) // 3 % 2,
        "long runs": np.repeat(rng.integers(0, 9, count // 50 + 1), 50)[:count],
    }[pattern]
    lengths = samples + extra
    width = 1 if fmt == "WD1" else 2
    events = [
        wd1_event(np.full(n, i), event_counter=i)
        if fmt == "WD1"
        else wd2_event(np.full(2 * n, i), counter=i, samples=n, channels=2, period=7)
        for i, n in enumerate(lengths)
    ]
    path = write(b"".join(events))
    for step in [None, 700]:
        before = bytes_read()
        with va.BatchReader(path, fmt) as reader:
            batch = va.concat([reader.read(10**9)] if step is None else reader.batches(step))
        assert bytes_read() - before <= 1.05 * os.path.getsize(path)
        assert np.array_equal(np.diff(batch.offsets), width * lengths)
        assert np.array_equal(batch["data"], np.repeat(np.arange(count), width * lengths))


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
def test_a_small_file_is_read_once_too(write, fmt):
    # Looking for a compression's magic reads a little of the file, not a buffer's worth,
    # and the WD2 layout probe reads just the headers it looks at.
    event = wd1_event if fmt == "WD1" else lambda data, event_counter: wd2_event(data, counter=event_counter)
    path = write(b"".join(event(range(50), event_counter=i) for i in range(180)))
    before = bytes_read()
    assert len(va.read(path, fmt)) == 180
    assert bytes_read() - before <= 1.05 * os.path.getsize(path)
