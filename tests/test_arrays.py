"""The hand-over of samples to NumPy: zero-copy arrays owned by a PySliceContainer."""

import gc

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vesk
import vesk_arrays
from vesk_arrays._batch import HEADER_FIELDS, SAMPLE_DTYPES
from vesk_arrays._samples import REDUCTIONS, reduce_segments
from wdfiles import batch_of, run_python, wd1_event, wd2_event


def first_event(write, data, reader_type):
    return next(vesk.EventReader(write(data), reader_type))


@pytest.mark.parametrize(
    "reader_type, data, dtype, count",
    [
        ("WD1", wd1_event(range(100)), np.uint16, 100),
        ("WD1", wd1_event(()), np.uint16, 0),
        (
            "WD2",
            wd2_event(np.arange(12), channels=3) + wd2_event(np.arange(12), counter=1, channels=3),
            np.float32,
            12,
        ),
        ("WD2", wd2_event((), channels=2) + wd2_event((), counter=1, channels=2), np.float32, 0),
    ],
)
def test_array_properties(write, reader_type, data, dtype, count):
    array = first_event(write, data, reader_type)["data"]
    assert type(array) is np.ndarray
    assert array.dtype == dtype and array.dtype.isnative
    assert array.shape == (count,)
    flags = array.flags
    assert flags.c_contiguous and flags.f_contiguous and flags.aligned and flags.writeable
    assert not flags.owndata
    assert type(array.base).__name__ == "PySliceContainer"
    address = array.__array_interface__["data"][0]
    assert address != 0 and address % array.itemsize == 0


def test_arrays_outlive_the_reader_and_each_other(write):
    reader = vesk.EventReader(write(b"".join(wd1_event([i] * 1000) for i in range(5))), "WD1")
    views = [event["data"][10:20] for event in reader]
    del reader
    gc.collect()
    for i, view in enumerate(views):
        assert (view == i).all()
        assert type(view.base.base).__name__ == "PySliceContainer"
    views[0][:] = 7  # writeable, and each event has its own memory
    assert (views[0] == 7).all() and (views[1] == 1).all()


@pytest.mark.plain_memory
def test_owner_frees_the_samples_once():
    result = run_python("""
        import os, tempfile, struct, resource, gc
        import vesk
        data = struct.pack("<6I", 24 + 2 * 500_000, 0, 0, 0, 0, 0) + bytes(1_000_000)
        path = os.path.join(tempfile.mkdtemp(), "big.wd1")
        with open(path, "wb") as f:
            f.write(data * 8)
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        def keep_all_then_drop():
            kept = [event["data"] for event in vesk.EventReader(path, "WD1")]
            del kept
        # The warm-up holds all eight events at once, as the measured passes
        # do, so that the allocator's heap has already reached its peak.
        for _ in range(3):
            keep_all_then_drop()
        gc.collect()
        base = rss()
        for _ in range(50):
            keep_all_then_drop()
        gc.collect()
        print(rss() - base)
    """)
    assert result.returncode == 0, result.stderr
    # Samples kept alive would add 8 MB per pass, 400 MB in all; what the
    # allocator keeps back from one pass is well under 8 MB.
    assert int(result.stdout) < 8_000_000


# -- batches as sequences of events, and their reductions ---------------------------------------


@st.composite
def batches(draw, floats=None, longest=6):
    """A batch made by hand from event 1000 of "run": events of any shapes (WD2: channels
    and samples per channel), often all of one shape; up to ``longest`` samples (per channel)."""
    reader_type = draw(st.sampled_from(["WD1", "WD2"]))
    count = draw(st.integers(0, 8))
    per_channel = st.integers(0, 4 if longest <= 6 else longest)
    shape = st.tuples(st.integers(0, 3), per_channel) if reader_type == "WD2" else st.integers(0, longest)
    shapes = draw(st.lists(shape, min_size=count, max_size=count))
    if draw(st.booleans()):
        shapes = shapes[:1] * count
    columns = {
        name: np.array(draw(st.lists(st.integers(0, 2**31 - 1), min_size=count, max_size=count)), dtype)
        for name, dtype in HEADER_FIELDS[reader_type]
    }
    if reader_type == "WD1":
        lengths = shapes
    else:
        columns["channels"] = np.array([c for c, _ in shapes], np.int32)
        columns["samples"] = np.array([s for _, s in shapes], np.uint32)
        lengths = [c * s for c, s in shapes]
    columns["data"] = draw(samples(SAMPLE_DTYPES[reader_type], sum(lengths), floats, bulk=longest > 6))
    return vesk_arrays.Batch(reader_type, columns, np.cumsum([0, *lengths]), path="run", start=1000)


@st.composite
def samples(draw, dtype, count, floats=None, bulk=False):
    """``count`` samples; ``bulk``: of a seeded generator, of any magnitude or few distinct
    values, with some drawn ones (NaN, infinities, zeros) put in."""
    dtype = np.dtype(dtype)
    values = st.integers(0, 65535) if dtype.kind == "u" else st.floats(width=32) if floats is None else floats
    if not bulk:
        return np.array(draw(st.lists(values, min_size=count, max_size=count)), dtype)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if dtype.kind == "u" or (count <= 1000 and draw(st.booleans())):  # ties; long runs: roundings
        drawn = rng.integers(0, draw(st.sampled_from([3, 65536])), count).astype(dtype)
    else:
        drawn = (rng.standard_normal(count) * 10.0 ** rng.integers(-3, 7, count)).astype(dtype)
    places = st.tuples(st.integers(0, max(count - 1, 0)), values)
    for at, value in draw(st.lists(places, max_size=4 * bool(count))):
        drawn[at] = value
    return drawn


def same_events(batch, positions, other):
    """``other``'s events are those of ``batch`` at ``positions``, every sample bit for bit."""
    assert len(other) == len(positions)
    for i, j in enumerate(positions):
        want, got = batch.event(j), other.event(i)
        assert want.keys() == got.keys()
        assert all(want[k] == got[k] for k in want if k != "data")
        assert want["data"].tobytes() == got["data"].tobytes()


@given(batches(), st.data())
def test_a_batch_is_sliced_and_filtered_as_its_events(batch, data):
    count = len(batch)
    bound = st.none() | st.integers(-count - 2, count + 2)
    key = data.draw(
        st.builds(slice, bound, bound, st.none() | st.sampled_from([1, 2, -1, -3]))
        | st.lists(st.booleans(), min_size=count, max_size=count).map(np.bool_)
        | st.lists(st.integers(-count, max(count - 1, 0)), max_size=6 * bool(count)).map(np.int64)
    )
    positions = np.arange(count)[key]
    part = batch[key]
    assert (part.format, list(part), part.path) == (batch.format, list(batch), batch.path)
    same_events(batch, positions, part)
    assert part.event_index.tolist() == (1000 + positions).tolist()
    if len(positions):
        assert (part.start, part.stop) == (1000 + positions.min(), 1001 + positions.max())
    if isinstance(key, slice) and key.step in (None, 1) and len(part["data"]):
        assert np.shares_memory(part["data"], batch["data"])  # a view
    same_events(batch, range(1, count), batch[1:])  # a view that starts past some samples
    joined = vesk_arrays.concat([part, batch])
    same_events(batch, [*positions, *range(count)], joined)
    assert joined.event_index.tolist() == [*part.event_index, *batch.event_index]


def test_a_batch_shows_what_it_holds():
    batch = vesk_arrays.Batch("WD1", {"board_id": np.zeros(3, np.int32)}, path="<a&b>.wd1", start=7)
    assert repr(batch) == "<vesk_arrays.Batch WD1 '<a&b>.wd1', events 7 to 9: 3 events, 12 bytes>"
    assert (
        repr(batch[[0, 2]]) == "<vesk_arrays.Batch WD1 '<a&b>.wd1', among events 7 to 9: 2 events, 24 bytes>"
    )
    assert "&lt;a&amp;b&gt;.wd1" in batch._repr_html_() and "<a&b>" not in batch._repr_html_()


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda b: b[1], TypeError),  # one event is batch.event(1)
        (lambda b: b[np.ones(3, bool)], IndexError),
        (lambda b: b[[2]], IndexError),
        (lambda b: b[["data"]], TypeError),
        (lambda b: b.reduce("median"), ValueError),
        (lambda b: b.reduce("max", stop="1"), TypeError),
        (lambda b: vesk_arrays.concat([]), ValueError),
        (lambda b: vesk_arrays.concat([b, vesk_arrays.Batch.empty("WD2")]), ValueError),
        (lambda b: vesk_arrays.concat([b, vesk_arrays.Batch.empty("WD1", columns=["board_id"])]), ValueError),
    ],
)
def test_what_a_batch_refuses(call, error):
    with pytest.raises(error):
        call(
            vesk_arrays.concat(
                [vesk_arrays.Batch.empty("WD1")] * 2 + [batch_of("WD1", [{"data": [1]}, {"data": [2]}])]
            )
        )


def reference(batch, op, empty, dtype, window):
    """``op`` of each event's samples[window] (WD2: of each channel's, in an events x most
    channels array), by NumPy event by event; ``empty`` for a window without samples."""
    rows = []
    for i in range(len(batch)):
        data = batch.event(i)["data"]
        if batch.format == "WD1":
            channels = [data[window]]
        elif samples := int(batch["samples"][i]):
            channels = [channel[window] for channel in data.reshape(-1, samples)]
        else:
            channels = [()] * max(int(batch["channels"][i]), 0)
        rows.append([getattr(np, op)(channel) if len(channel) else empty for channel in channels])
    width = max(map(len, rows), default=0)
    want = np.array([row + [empty] * (width - len(row)) for row in rows], dtype).reshape(len(rows), width)
    return want.reshape(len(rows)) if batch.format == "WD1" else want


def assert_same(got, want, op):
    """Equal, NaN for NaN; to the bit but for which NaN, and (min, max) which of equal zeros."""
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    if got.dtype.kind == "f" and op not in ("min", "max"):
        bits = f"u{got.itemsize}"
        assert ((got.view(bits) == want.view(bits)) | np.isnan(want)).all()


FLOATS = st.floats(-1e6, 1e6, width=32) | st.sampled_from([np.nan, np.inf, -np.inf, -0.0])
BOUNDS = st.none() | st.integers(-8, 8) | st.integers(-300, 300)


@given(batches(FLOATS, longest=200), st.sampled_from(REDUCTIONS), BOUNDS, BOUNDS)
def test_reduce_agrees_with_numpy_on_each_event(batch, op, start, stop):
    dtype = np.asarray(getattr(np, op)(np.ones(1, batch["data"].dtype))).dtype
    empty, given = {"sum": 0, "argmin": -1, "argmax": -1}.get(op, np.nan), None
    window = slice(start, stop)
    lengths = [len(batch.event(i)["data"][window]) for i in range(len(batch))]
    if batch.format == "WD1" and op in ("min", "max") and 0 in lengths:
        with pytest.raises(ValueError, match=f"event {lengths.index(0)}, which holds no samples"):
            batch.reduce(op, start=start, stop=stop)  # uint16 has no NaN
        empty = given = 7
    with np.errstate(invalid="ignore"):  # inf - inf, as NumPy warns of it
        got = batch.reduce(op, start=start, stop=stop, empty=given)
        want = reference(batch, op, empty, dtype, window)
    assert_same(got, want, op)


@given(st.sampled_from([np.uint16, np.float32]), st.sampled_from(REDUCTIONS), BOUNDS, BOUNDS, st.data())
def test_segments_reduce_anywhere_in_a_buffer(dtype, op, start, stop, data):
    # Segments at any byte offset, between headers, in any order, some long enough for NumPy's
    # blocks of float sums: as a mapped file holds them.
    length = st.integers(0, 40) | st.sampled_from([8191, 8200, 16392, 40000])
    lengths = data.draw(st.lists(length, max_size=5))
    buffer, starts = bytearray(), []
    for length in lengths:
        buffer += bytes(data.draw(st.integers(0, 7)))
        starts.append(len(buffer))
        buffer += data.draw(samples(dtype, length, FLOATS, bulk=True)).tobytes()
    order = data.draw(st.permutations(range(len(lengths))))
    with np.errstate(invalid="ignore"):
        got = reduce_segments(
            bytes(buffer), dtype, [starts[i] for i in order], [lengths[i] for i in order], op,
            start=start, stop=stop, empty=1,
        )  # fmt: skip
        want = [np.frombuffer(buffer, dtype, lengths[i], starts[i])[start:stop] for i in order]
        want = np.array([getattr(np, op)(part) if len(part) else 1 for part in want], got.dtype)
    assert_same(got, want, op)


def test_long_float_sums_round_as_numpy_s():
    # NumPy sums a run of floats in blocks of its buffer's size where it copies the run (when not
    # aligned, or before NumPy 2.3), else whole; the two round apart, and each is followed.
    rng = np.random.default_rng(7)
    lengths = [8193, 50_003]
    runs = [(rng.standard_normal(n) * 10.0 ** rng.integers(-3, 7, n)).astype(np.float32) for n in lengths]
    for offset in (0, 1, 2):
        buffer = bytes(offset) + b"".join(run.tobytes() for run in runs)
        starts = [offset, offset + 4 * lengths[0]]
        for op in ("sum", "mean"):
            got = reduce_segments(buffer, np.float32, starts, lengths, op)
            runs = [np.frombuffer(buffer, np.float32, *place) for place in zip(lengths, starts)]
            want = [getattr(np, op)(run) for run in runs]
            assert_same(got, np.array(want, np.float32), op)


def test_a_large_batch_shared_among_cores_gives_what_its_parts_give():
    # Large enough to be split among the cores (if there are several), unlike its parts.
    rng = np.random.default_rng(5)
    for fmt, lengths in [("WD1", rng.integers(0, 200, 40_000)), ("WD2", np.full(3_000, 1024))]:
        lengths[[5, 30_000 % len(lengths)]] = 0
        events = [{"data": rng.normal(0, 100, n).astype(SAMPLE_DTYPES[fmt])} for n in lengths]
        batch = batch_of(fmt, events)
        for op in REDUCTIONS:
            with np.errstate(invalid="ignore"):
                parts = [batch[i : i + 500].reduce(op, start=1, empty=0) for i in range(0, len(batch), 500)]
                assert_same(batch.reduce(op, start=1, empty=0), np.concatenate(parts), op)
    events = [{"data": np.ones(100, np.uint16)}] * 40_000
    events[10] = events[12] = events[30_000] = {}  # in both parts, the first one named
    with pytest.raises(ValueError, match="event 10, "):
        batch_of("WD1", events).reduce("max")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: reduce_segments(bytes(8), np.uint16, [4], [3], "max"), ValueError),  # past the end
        (lambda: reduce_segments(bytes(8), np.uint16, [-1], [1], "max"), ValueError),
        (lambda: reduce_segments(bytes(8), np.uint16, [0], [-1], "max"), ValueError),
        (lambda: reduce_segments(bytes(8), np.uint16, [0, 2], [1], "max"), ValueError),
        (lambda: reduce_segments(bytes(8), np.int32, [0], [1], "max"), ValueError),
        (lambda: reduce_segments(bytes(8), np.uint16, [0], [0], "min"), ValueError),  # uint16 has no NaN
        (lambda: reduce_segments(bytes(8), np.uint16, [0], [0], "max", empty=0.5), ValueError),
        (lambda: reduce_segments(bytes(8), np.uint16, [0], [1], "max", start=1.0), TypeError),
        (lambda: reduce_segments([0], np.uint16, [0], [1], "max"), TypeError),  # no buffer
    ],
)
def test_what_the_segment_reductions_refuse(call, error):
    with pytest.raises(error):
        call()


def test_a_batch_without_samples_holds_its_header_columns():
    full = batch_of("WD2", [{"data": [1.0, 2.0], "event_counter": 5}, {"data": [3.0]}], path="run", start=3)
    batch = vesk_arrays.Batch("WD2", {name: full[name] for name in ("event_counter", "channels")}, start=3)
    assert len(batch) == 2 and list(batch) == ["event_counter", "channels"]
    assert batch.event(0) == {"event_counter": 5, "channels": 1}
    assert batch[1:].event_index.tolist() == [4]
    with pytest.raises(KeyError):
        batch["data"]
    for call in (lambda: batch.offsets, batch.waveforms, lambda: batch.reduce("max")):
        with pytest.raises(ValueError, match="without its samples"):
            call()
    assert batch.to_arrow().column_names == list(batch.to_pandas().columns) == batch.to_awkward().fields
    assert vesk_arrays.concat([batch, batch]).event_index.tolist() == [3, 4, 3, 4]
    with pytest.raises(ValueError, match="'samples' and 'channels'"):
        vesk_arrays.Batch("WD2", {"event_counter": full["event_counter"], "data": full["data"]}, full.offsets)
    with pytest.raises(ValueError, match="in that order"):
        vesk_arrays.Batch("WD2", {"channels": full["channels"], "event_counter": full["event_counter"]})
