"""vesk_arrays: batches of columns agree with EventReader, event for event and bit for bit."""

import os
import pathlib
import pickle
import random
import threading

import numpy as np
import pytest

import vesk
import vesk_arrays as va
from wdfiles import FAULT, WD1_KEYS, WD2_KEYS, collect, run_python, wd1_event, wd2_event

KEYS = {"WD1": WD1_KEYS, "WD2": WD2_KEYS}


def reference(path, fmt, panic):
    """EventReader's events, FAULT where it faults."""
    return collect(vesk.EventReader(path, fmt), panic)


def batch_events(batches):
    return [batch.event(i) for batch in batches for i in range(len(batch))]


def assert_same(events, expected, fmt):
    assert len(events) == len(expected)
    for got, want in zip(events, expected):
        assert list(got) == KEYS[fmt]
        assert [got[k] for k in KEYS[fmt][:-1]] == [want[k] for k in KEYS[fmt][:-1]]
        assert got["data"].dtype == want["data"].dtype
        bits = f"u{got['data'].dtype.itemsize}"
        np.testing.assert_array_equal(got["data"].view(bits), want["data"].view(bits))


def random_file(rng, fmt):
    if fmt == "WD1":
        parts = [
            wd1_event(
                rng.integers(0, 65536, rng.integers(0, 40)),
                event_counter=i,
                timestamp=int(rng.integers(-(2**31), 2**31)),
            )
            for i in range(int(rng.integers(0, 30)))
        ]
        if rng.random() < 0.3 and parts:
            parts.insert(int(rng.integers(len(parts))), wd1_event(event_size=int(rng.integers(-50, 23))))
        if rng.random() < 0.3:
            parts.append(wd1_event([1, 2, 3], event_size=31, trailing=b"\x07"))  # odd size
    else:
        channels = int(rng.integers(1, 4))
        samples = int(rng.integers(0, 20))
        parts = [
            wd2_event(
                rng.standard_normal(samples * channels),
                counter=i,
                samples=samples,
                channels=channels if channels > 1 else None,
                period=200,
            )
            for i in range(int(rng.integers(2, 30)))
        ]
    data = b"".join(parts)
    if rng.random() < 0.3 and data:
        data = data[: int(rng.integers(len(data)))]
    return data


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
@pytest.mark.parametrize("seed", range(40))
# The warnings are expected; the events are the subject.
@pytest.mark.filterwarnings("ignore::vesk_arrays.DamagedEventWarning")
def test_batches_of_any_step_are_eventreaders_events(write, PanicException, fmt, seed):
    rng = np.random.default_rng(seed)
    path = write(random_file(rng, fmt))
    try:
        expected = reference(path, fmt, PanicException)
    except OSError:
        if os.path.getsize(path) < 28:  # too short to hold a header: no events, all trailing bytes
            with va.BatchReader(path, fmt) as reader:
                assert len(reader.read(10)) == 0 and reader.trailing_bytes == os.path.getsize(path)
            return
        with pytest.raises(OSError):
            va.read(path, fmt)
        return
    good = [e for e in expected if e != FAULT]
    assert_same(
        batch_events([va.read(path, fmt, errors="skip")])
        if FAULT in expected
        else batch_events([va.read(path, fmt)]),
        good,
        fmt,
    )
    step = int(rng.integers(1, 8))
    with va.BatchReader(path, fmt) as reader:
        got, faults = [], 0
        while True:
            try:
                for batch in reader.batches(step):
                    got += batch_events([batch])
            except va.DamagedEventError:
                faults += 1
                continue
            break
    assert_same(got, good, fmt)
    assert faults == expected.count(FAULT)


def test_memory_size_steps_bound_the_batches(write):
    data = b"".join(wd1_event(np.arange(100), event_counter=i) for i in range(1000))
    path = write(data)
    with va.BatchReader(path, "WD1") as reader:
        sizes = [len(b) for b in reader.batches("10 kB")]
    assert sum(sizes) == 1000
    per_event = 200 + 6 * 4 + 8
    assert max(sizes) == 10_000 // per_event


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


@pytest.mark.parametrize("start, stop", [(0, None), (2, 5), (3, 100), (10, 20), (4, 4)])
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
        (("file", None), TypeError),
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


def uniform_file_with_surprises(rng, fmt, events=300):
    """Mostly events of one large size (read in runs), with a few that differ, damaged
    ones, and a cut at a random point."""
    size = int(rng.choice([128, 300, 2048]))
    parts = []
    for i in range(events):
        n = size if rng.random() > 0.03 else int(rng.integers(0, 2 * size))
        if fmt == "WD1":
            if rng.random() < 0.01:
                parts.append(wd1_event(event_size=int(rng.integers(-100, 23))))
                continue
            parts.append(wd1_event(rng.integers(0, 65536, n), event_counter=i))
        else:
            parts.append(wd2_event(rng.standard_normal(2 * n), counter=i, samples=n, channels=2, period=7))
    data = b"".join(parts)
    return data[: int(rng.integers(len(data) // 2, len(data) + 1))]


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
        assert_same(batch_events(batches), expected, fmt)


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
@pytest.mark.parametrize("seed", range(12))
# The warnings are expected; the events are the subject.
@pytest.mark.filterwarnings("ignore::vesk_arrays.DamagedEventWarning")
def test_runs_of_same_size_events_agree_with_eventreader(write, PanicException, fmt, seed):
    rng = np.random.default_rng(1000 + seed)
    path = write(uniform_file_with_surprises(rng, fmt))
    expected = [e for e in reference(path, fmt, PanicException) if e != FAULT]
    for step in [1, 7, 100, 10_000, "64 kB"]:
        got = []
        with va.BatchReader(path, fmt, errors="skip") as reader:
            for batch in reader.batches(step):
                got += batch_events([batch])
        assert_same(got, expected, fmt)
