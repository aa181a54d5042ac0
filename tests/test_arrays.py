"""The hand-over of samples to NumPy: zero-copy arrays owned by a PySliceContainer."""

import gc
from unittest import mock

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vesk
import vesk_arrays
from vesk_arrays._batch import HEADER_FIELDS, REDUCTIONS, SAMPLE_DTYPES
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
def batches(draw, floats=None):
    """A batch made by hand from event 1000 of "run": events of any shapes (WD2: channels
    and samples per channel), often all of one shape."""
    reader_type = draw(st.sampled_from(["WD1", "WD2"]))
    count = draw(st.integers(0, 8))
    shape = st.tuples(st.integers(0, 3), st.integers(0, 4)) if reader_type == "WD2" else st.integers(0, 6)
    shapes = draw(st.lists(shape, min_size=count, max_size=count))
    if draw(st.booleans()):
        shapes = shapes[:1] * count
    columns = {
        name: np.array(draw(st.lists(st.integers(0, 2**31 - 1), min_size=count, max_size=count)), dtype)
        for name, dtype in HEADER_FIELDS[reader_type]
    }
    if reader_type == "WD1":
        lengths, values = shapes, st.integers(0, 65535)
    else:
        columns["channels"] = np.array([c for c, _ in shapes], np.int32)
        columns["samples"] = np.array([s for _, s in shapes], np.uint32)
        lengths, values = [c * s for c, s in shapes], st.floats(width=32) if floats is None else floats
    samples = draw(st.lists(values, min_size=sum(lengths), max_size=sum(lengths)))
    columns["data"] = np.array(samples, SAMPLE_DTYPES[reader_type])
    return vesk_arrays.Batch(reader_type, columns, np.cumsum([0, *lengths]), path="run", start=1000)


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


def reference(batch, op, empty, dtype):
    """``op`` of each event (WD2: of each channel, in an events x most channels array), by
    NumPy event by event; ``empty`` for an event or channel without samples."""
    rows = []
    for i in range(len(batch)):
        data = batch.event(i)["data"]
        if batch.format == "WD1":
            rows.append([getattr(np, op)(data) if len(data) else empty])
            continue
        samples = int(batch["samples"][i])
        channels = data.reshape(-1, samples) if samples else [()] * max(int(batch["channels"][i]), 0)
        rows.append([getattr(np, op)(channel) if len(channel) else empty for channel in channels])
    width = max(map(len, rows), default=0)
    want = np.array([row + [empty] * (width - len(row)) for row in rows], dtype).reshape(len(rows), width)
    return want.reshape(len(rows)) if batch.format == "WD1" else want


FLOATS = st.floats(-1e6, 1e6, width=32) | st.sampled_from([np.nan, np.inf, -np.inf, -0.0])


@given(batches(FLOATS), st.sampled_from(REDUCTIONS), st.booleans())
def test_reduce_agrees_with_numpy_on_each_event(batch, op, by_runs):
    dtype = np.asarray(getattr(np, op)(np.ones(1, batch["data"].dtype))).dtype
    empty, given = {"sum": 0, "argmin": -1, "argmax": -1}.get(op, np.nan), None
    if batch.format == "WD1" and op in ("min", "max") and (np.diff(batch.offsets) == 0).any():
        with pytest.raises(ValueError, match="without samples"):
            batch.reduce(op)  # uint16 has no NaN
        empty = given = 7
    # Both ways of reducing: run after run of events of one length, and all at once. (Both
    # warn of inf - inf as NumPy does.)
    patch = mock.patch.object(vesk_arrays._samples, "_by_runs", lambda segments, runs: by_runs)
    with patch, np.errstate(invalid="ignore"):
        got = batch.reduce(op, empty=given)
        want = reference(batch, op, empty, dtype)
    assert got.dtype == dtype and got.shape == want.shape
    if batch.format == "WD2" and op in ("sum", "mean") and not by_runs:
        # Summed in float64 there, by NumPy in float32: up to 4 samples of up to 1e6 differ by less than 4.
        np.testing.assert_allclose(got, want, rtol=0, atol=4)
    else:
        np.testing.assert_array_equal(got, want)


@given(st.sampled_from(["WD1", "WD2"]), st.data())
def test_argmin_and_argmax_of_longer_events_agree_with_numpy(fmt, data):
    # Events long enough for the C++ scan's vector lanes, with many equal values.
    values = st.integers(0, 3) if fmt == "WD1" else FLOATS | st.sampled_from([0.0, 1.0])
    events = data.draw(st.lists(st.lists(values, min_size=1, max_size=70), min_size=2, max_size=6))
    batch = batch_of(fmt, [{"data": event} for event in events])
    for op in ("argmin", "argmax"):
        want = [getattr(np, op)(np.array(event, SAMPLE_DTYPES[fmt])) for event in events]
        assert batch.reduce(op).reshape(-1).tolist() == want


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
