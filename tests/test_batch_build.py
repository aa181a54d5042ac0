"""Batches made of NumPy arrays: the size fields filled, written and read back bit for bit."""

import io

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vesk_arrays as va


@st.composite
def sample_sets(draw):
    """(format, samples, offsets, channels, header fields): even events as a 2-D or 3-D
    array, or events of any lengths flat with offsets."""
    fmt = draw(st.sampled_from(["WD1", "WD2"]))
    dtype = np.uint16 if fmt == "WD1" else np.float32
    channels = 1 if fmt == "WD1" else draw(st.integers(1, 3))
    counts = draw(st.lists(st.integers(0, 5), max_size=5))
    flat = draw(st.booleans())
    even = (len(counts), channels, counts[0] if counts else 3)[:: 2 if fmt == "WD1" else 1]
    samples = draw(hnp.arrays(dtype, (sum(counts) * channels,) if flat else even))
    offsets = np.cumsum([0] + [n * channels for n in counts]) if flat else None
    field = draw(st.sampled_from(["event_counter", "timestamp"]))
    values = st.integers(0, 2**31 - 1)
    value = draw(values | st.lists(values, min_size=len(counts), max_size=len(counts)))
    return fmt, samples, offsets, channels, {field: value}


@given(sample_sets())
def test_a_batch_from_numpy_writes_and_reads_back_bit_for_bit(case):
    fmt, samples, offsets, channels, fields = case
    extra = {"channels": channels} if offsets is not None and fmt == "WD2" else {}
    batch = va.Batch.from_numpy(fmt, samples, offsets=offsets, **fields, **extra)
    lengths = np.diff(batch.offsets)
    if fmt == "WD1":
        np.testing.assert_array_equal(batch["event_size"], 24 + 2 * lengths)
    else:
        np.testing.assert_array_equal(batch["channels"], channels)
        np.testing.assert_array_equal(batch["samples"] * channels, lengths)
    bits = np.uint16 if fmt == "WD1" else np.uint32
    np.testing.assert_array_equal(batch["data"].view(bits), samples.reshape(-1).view(bits))
    if offsets is None and len(samples):
        assert batch.waveforms().shape == samples.shape
    ((name, value),) = fields.items()
    np.testing.assert_array_equal(batch[name], np.broadcast_to(value, len(batch)))
    file = io.BytesIO()
    va.write(file, batch, fmt)
    file.seek(0)
    # Headers all 0 may not tell a WD2 file's layout (write warns of it for a path).
    back = va.read(file, fmt, layout="multi-channel" if fmt == "WD2" else None)
    assert list(back) == list(batch)
    for column in batch:
        a, b = batch[column], back[column]
        assert a.dtype == b.dtype
        np.testing.assert_array_equal(a.view(f"u{a.itemsize}"), b.view(f"u{b.itemsize}"))
    np.testing.assert_array_equal(back.offsets, batch.offsets)


@pytest.mark.parametrize(
    "fmt, samples, kwargs, match",
    [
        ("WD1", np.zeros((2, 1, 3), np.uint16), {}, "events x samples array"),
        ("WD2", np.zeros((2, 3), np.float32), {}, "events x channels x samples"),
        ("WD1", np.zeros((2, 3), np.uint16), {"event_size": 30}, "filled from the samples"),
        ("WD2", np.zeros((2, 1, 3), np.float32), {"channels": 1}, "filled from the samples"),
        ("WD1", np.zeros((2, 3), np.uint16), {"channels": 1}, "no header field 'channels'"),
        ("WD1", np.full((2, 3), 70000), {}, "uint16 values"),
        ("WD1", np.zeros((2, 3)), {}, "uint16 values"),
        ("WD1", np.zeros((2, 3), np.uint16), {"board_id": [1, 2, 3]}, "one value per event"),
        ("WD1", np.zeros((2, 3), np.uint16), {"timestamp": 2**40}, "int32 values"),
        ("WD1", np.zeros(5, np.uint16), {"offsets": [0, 2, 4]}, "offsets end at its length"),
        ("WD2", np.zeros(5, np.float32), {"offsets": [0, 5], "channels": 2}, "whole number"),
        ("WD3", np.zeros((2, 3)), {}, "unknown reader type"),
    ],
)
def test_what_from_numpy_cannot_make_is_refused(fmt, samples, kwargs, match):
    with pytest.raises(ValueError, match=match):
        va.Batch.from_numpy(fmt, samples, **kwargs)


def test_a_batch_is_not_taken_for_an_array():
    batch = va.Batch.from_numpy("WD1", np.zeros((2, 3), np.uint16))
    with pytest.raises(TypeError, match=r"waveforms\(\)"):
        np.asarray(batch)
