"""Events of different shapes: waveforms padded to one array, or those of the usual shape kept."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vesk_arrays as va


@st.composite
def uneven_batches(draw):
    """(batch, per-event sample arrays of shape channels x samples): any lengths, and for
    WD2 any channel counts (1 to 3) and samples per channel."""
    fmt = draw(st.sampled_from(["WD1", "WD2"]))
    shapes = draw(st.lists(st.tuples(st.integers(1, 3) if fmt == "WD2" else st.just(1), st.integers(0, 6))))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dtype = np.uint16 if fmt == "WD1" else np.float32
    events = [rng.integers(0, 2**16, (c, n)).astype(dtype) for c, n in shapes]
    flat = np.concatenate([e.ravel() for e in events]) if events else np.empty(0, dtype)
    offsets = np.cumsum([0] + [e.size for e in events])
    extra = {"channels": [c for c, _ in shapes]} if fmt == "WD2" and shapes else {}
    return va.Batch.from_numpy(fmt, flat, offsets=offsets, **extra), events


@given(uneven_batches(), st.integers(0, 8) | st.none(), st.sampled_from([0, 7]))
def test_padded_waveforms_are_numpys_padding_of_each_event(case, length, pad):
    batch, events = case
    width = max((e.shape[1] for e in events), default=0) if length is None else length
    channels = max((e.shape[0] for e in events), default=1 if batch.format == "WD2" else 0)
    expected = np.full((len(events), max(channels, 1), width), pad, batch["data"].dtype)
    for i, event in enumerate(events):
        cut = event[:, :width]
        expected[i, : cut.shape[0], : cut.shape[1]] = cut
    if batch.format == "WD1":
        expected = expected[:, 0]
    elif not events:
        expected = expected[:, :0]
    np.testing.assert_array_equal(batch.waveforms(pad, length=length, clip=True), expected)
    if any(e.shape[1] > width for e in events):
        with pytest.raises(ValueError, match="clip=True"):
            batch.waveforms(pad, length=length)
    common = batch.of_common_shape()
    shapes = [e.shape for e in events]
    if shapes:
        usual = max(shapes, key=lambda s: (shapes.count(s), -shapes.index(s)))
        kept = [i for i, s in enumerate(shapes) if s == usual]
        np.testing.assert_array_equal(common.event_index, kept)
        np.testing.assert_array_equal(common.waveforms().reshape(len(kept), -1), flat_of(events, kept))


def flat_of(events, kept):
    return np.stack([events[i].ravel() for i in kept])


@pytest.mark.parametrize(
    ("fmt", "pad", "error"),
    [
        ("WD1", -1, ValueError),
        ("WD1", np.nan, ValueError),
        ("WD1", 1.5, ValueError),
        ("WD1", 2**16, ValueError),
        ("WD2", 1e39, ValueError),
        ("WD1", "0", TypeError),
        ("WD2", None, TypeError),  # length= alone
    ],
)
def test_a_pad_the_samples_cannot_hold_is_refused(fmt, pad, error):
    batch = va.Batch.from_numpy(fmt, [0, 0, 0], offsets=[0, 1, 3])
    with pytest.raises(error, match="pad"):
        batch.waveforms(pad, length=4)


def test_nothing_to_pad_gives_the_view_and_nan_pads_wd2():
    even = va.Batch.from_numpy("WD1", np.arange(6).reshape(2, 3))
    assert np.shares_memory(even.waveforms(0), even["data"])
    assert np.shares_memory(even.of_common_shape()["data"], even["data"])
    wd2 = va.Batch.from_numpy("WD2", np.ones(3), offsets=[0, 1, 3])
    np.testing.assert_array_equal(wd2.waveforms(np.nan)[:, 0], [[1, np.nan], [1, 1]])
