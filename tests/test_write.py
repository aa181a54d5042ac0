"""vesk_arrays.write: files that read back as the events written, bit for bit, written atomically."""

import io
import os
import pathlib
import tempfile
from unittest import mock

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vesk
import vesk_arrays
from wdfiles import WD1_KEYS, WD2_KEYS, assert_same_events, batch_of, wd1_event

LAYOUTS = [("WD1", None), ("WD2", None), ("WD2", "multi-channel"), ("WD2", "single-channel")]
INT32 = st.integers(-(2**31), 2**31 - 1)


@st.composite
def events(draw, reader_type, layout):
    """Events a file of one board can hold: WD1 ones of any event_size that fits their
    samples (pad byte or not), WD2 ones of any sample bits (NaN payloads too) and one
    sampling period, in any selection or order: counters that count up, skip, stay or fall."""
    if reader_type == "WD1":
        out, board = [], draw(INT32)
        for _ in range(draw(st.integers(0, 6))):
            data = draw(st.lists(st.integers(0, 65535), max_size=20))
            pads = [0, 1, -1] if not data else [0, 1]
            size = 24 + 2 * len(data) + draw(st.sampled_from(pads))
            header = draw(st.fixed_dictionaries(dict.fromkeys(WD1_KEYS[2:-1], INT32)))
            out.append({"event_size": size, "board_id": board, **header, "data": data})
        return out
    channels = 1 if layout == "single-channel" else draw(st.integers(1, 3))
    counter, period = draw(st.integers(0, 2**32 - 1)), draw(st.integers(0, 2**64 - 1))
    rising, any_step = st.integers(1, 2**31 - 1), st.integers(0, 2**32 - 1)
    steps = draw(st.sampled_from([st.just(1), rising, st.just(0), any_step]))
    out = []
    for _ in range(draw(st.integers(1, 6))):
        samples = draw(st.integers(0, 5))
        bits = draw(st.binary(min_size=4 * samples * channels, max_size=4 * samples * channels))
        counter = (counter + draw(steps)) % 2**32
        out.append(
            {
                "event_counter": counter,
                "timestamp": draw(st.integers(0, 2**64 - 1)),
                "samples": samples,
                "sampling_period": period,
                "channels": channels,
                "data": np.frombuffer(bits, "<f4"),
            }
        )
    return out


@pytest.mark.parametrize("reader_type, layout", LAYOUTS)
@given(data=st.data())
def test_written_events_read_back_bit_for_bit(reader_type, layout, data):
    batch = batch_of(reader_type, data.draw(events(reader_type, layout)), path="made by hand")
    cut = data.draw(st.integers(0, len(batch)))
    keys = WD1_KEYS if reader_type == "WD1" else WD2_KEYS
    expected = [batch.event(i) for i in range(len(batch))]
    # Records assembled in chunks of a few events or of many, or events written in place.
    chunk, in_place = data.draw(st.sampled_from([1, 64, 4 << 20])), data.draw(st.sampled_from([0, 1 << 40]))
    with (
        tempfile.TemporaryDirectory() as folder,
        mock.patch.multiple(vesk_arrays._write, _CHUNK=chunk, _LARGE_EVENT=in_place),
    ):
        path = os.path.join(folder, "out")
        assert vesk_arrays.write(path, [batch[:cut], batch[cut:]], reader_type, layout=layout) == len(batch)
        # Read back as it is, the layout told from the file alone, also as a stream.
        for source in (path, io.BytesIO(pathlib.Path(path).read_bytes())):
            back = vesk_arrays.read(source, reader_type)
            assert_same_events([back.event(i) for i in range(len(back))], expected, keys, batch["data"].dtype)
        counters = batch["event_counter"][:2].astype(np.int64)
        if reader_type == "WD1" or len(batch) < 2 or 0 < (counters[1] - counters[0]) % 2**32 < 2**31:
            # An event-by-event reader tells a WD2 layout by the first two events' counters.
            assert_same_events(list(vesk.EventReader(path, reader_type)), expected, keys, batch["data"].dtype)
        out = io.BytesIO()
        vesk_arrays.write(out, batch, reader_type, layout=layout)
        with open(path, "rb") as f:
            assert out.getvalue() == f.read()


def header_only(reader_type):
    return vesk_arrays.Batch(
        reader_type, {"timestamp": np.zeros(1, np.int32 if reader_type == "WD1" else np.uint64)}
    )


def test_a_file_whose_fields_do_not_tell_its_layout_is_written_with_a_warning(tmp_path):
    # Counters, timestamps, periods and samples all 0: the bytes read as well as
    # single-channel events.
    events = [{"data": np.zeros(4, "f4"), "channels": 2, "event_counter": 0}] * 6
    path = tmp_path / "zeros.wd2"
    with pytest.warns(UserWarning, match='read with layout="multi-channel"'):
        vesk_arrays.write(path, batch_of("WD2", events), "WD2")
    assert len(vesk_arrays.read(path, "WD2", layout="multi-channel")) == 6


@pytest.mark.parametrize(
    "reader_type, batch, layout, error, match",
    [
        ("WD1", batch_of("WD1", [{"data": [1, 2], "event_size": 27}]), None, ValueError, "event_size 27"),
        ("WD1", batch_of("WD1", [{"data": [], "event_size": 22}]), None, ValueError, "event_size 22"),
        ("WD1", batch_of("WD1", [{"data": [1]}]), "multi-channel", ValueError, "layout"),
        ("WD1", batch_of("WD2", [{"data": [1.0]}]), None, ValueError, "a WD2 batch"),
        (
            "WD2",
            batch_of("WD2", [{"data": [1.0, 2.0], "channels": 2}]),
            "single-channel",
            ValueError,
            "2 channels",
        ),
        (
            "WD2",
            batch_of("WD2", [{"data": [1.0, 2.0], "channels": 2}, {"data": [1.0, 2.0], "channels": 1}]),
            None,
            ValueError,
            "event 1 of the batch holds 2 samples",
        ),
        ("WD2", header_only("WD2"), None, ValueError, "all their columns"),
        ("WD2", [batch_of("WD2", []), "a batch?"], None, TypeError, "Batches"),
    ],
)
def test_what_cannot_be_written_leaves_no_file(tmp_path, reader_type, batch, layout, error, match):
    with pytest.raises(error, match=match):
        vesk_arrays.write(tmp_path / "out", batch, reader_type, layout=layout)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("existing", [None, b"kept"])
def test_a_failed_write_leaves_no_file_and_keeps_the_old_one(tmp_path, existing):
    destination = tmp_path / "out.wd1"
    if existing:
        destination.write_bytes(existing)

    def batches():
        yield batch_of("WD1", [{"data": np.arange(10**6) % 7}])
        raise KeyboardInterrupt  # Ctrl-C after a batch is written

    with pytest.raises(KeyboardInterrupt):
        vesk_arrays.write(destination, batches(), "WD1")
    assert os.listdir(tmp_path) == (["out.wd1"] if existing else [])
    assert not existing or destination.read_bytes() == existing


def test_a_write_onto_the_file_read_is_refused(write):
    original = b"".join(wd1_event([i], event_counter=i) for i in range(3))
    path = write(original)
    with pytest.raises(ValueError, match="would replace the input"):
        vesk_arrays.write(path, vesk_arrays.iterate(path, "WD1", step_size=1), "WD1")
    assert pathlib.Path(path).read_bytes() == original


@pytest.mark.parametrize("signum", ["SIGTERM", "SIGINT"])
def test_a_write_ended_by_a_signal_leaves_no_temporary_file(tmp_path, signum):
    import signal
    import subprocess
    import sys
    import textwrap
    import time

    code = textwrap.dedent("""
        import itertools, sys, time
        sys.path.insert(0, sys.argv[2])
        from wdfiles import batch_of
        import vesk_arrays
        batch = batch_of("WD1", [{"data": [1]}] * 1000)
        def forever():
            for _ in itertools.count():
                time.sleep(0.001)
                yield batch
        print("writing", flush=True)
        vesk_arrays.write(sys.argv[1], forever(), "WD1")
    """)
    out = tmp_path / "out.wd1"
    process = subprocess.Popen(
        [sys.executable, "-c", code, str(out), os.path.dirname(__file__)], stdout=subprocess.PIPE, text=True
    )
    assert process.stdout.readline() == "writing\n"
    time.sleep(0.3)
    assert any(tmp_path.iterdir())  # the temporary file, being written
    process.send_signal(getattr(signal, signum))
    process.communicate(timeout=60)
    assert process.returncode == -getattr(signal, signum)  # ended by the signal, as without the cleanup
    assert not list(tmp_path.iterdir())
