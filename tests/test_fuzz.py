"""Property-based fuzzing of EventReader: random and damaged files of both formats.

Every file is decoded by vesk and by the reference decoders of wdfiles; they must
agree, and nothing may crash. The normal suite runs a fixed set of examples (the
"suite" profile in conftest.py); the fuzz session runs `--hypothesis-profile=fuzz`,
with fresh random examples, VESK_FUZZ_EXAMPLES of them per test.
"""

from hypothesis import given
from hypothesis import strategies as st

import vesk
from wdfiles import (
    FAULT,
    assert_same_wd1,
    assert_same_wd2,
    collect,
    decode_wd1,
    decode_wd2,
    fault_class,
    wd1_event,
    wd2_event,
)

PANIC = fault_class()

word = st.one_of(st.integers(0, 64), st.integers(0, 2**32 - 1))


@st.composite
def damaged(draw, valid):
    """A valid file, then a few byte flips, insertions, deletions or a truncation."""
    data = bytearray(draw(valid))
    for _ in range(draw(st.integers(0, 3))):
        if not data:
            break
        where = draw(st.integers(0, len(data) - 1))
        action = draw(st.sampled_from(["flip", "insert", "delete", "truncate"]))
        if action == "flip":
            data[where] = draw(st.integers(0, 255))
        elif action == "insert":
            data[where:where] = draw(st.binary(max_size=8))
        elif action == "delete":
            del data[where : where + draw(st.integers(1, 8))]
        else:
            del data[where:]
    return bytes(data)


wd1_files = st.lists(
    st.builds(
        lambda samples, size, counter, pad: wd1_event(
            samples, event_size=size, event_counter=counter, trailing=pad
        ),
        st.lists(st.integers(0, 65535), max_size=40),
        st.one_of(st.none(), st.integers(-64, 200), word),
        word,
        st.sampled_from([b"", b"\x7f"]),
    ),
    max_size=6,
).map(b"".join)


@st.composite
def wd2_files(draw):
    """Events of one layout that follow each other, some of another length (zero suppression), some
    with a header that breaks the sequence."""
    channels = draw(st.one_of(st.none(), st.integers(-2, 4)))
    samples = draw(st.integers(0, 10))
    period = draw(st.integers(0, 3))
    first = draw(word)
    events = []
    for i in range(draw(st.integers(0, 5))):
        event_samples = samples if draw(st.booleans()) else draw(st.integers(0, 10))
        count = event_samples * (channels if channels and channels > 0 else 1)
        values = draw(st.binary(min_size=4 * count, max_size=4 * count))
        counter, event_period = first + i, period
        if draw(st.integers(0, 4)) == 0:
            # A header that does not continue the sequence: what the layout probe must not trust.
            counter, event_samples, event_period = draw(word), draw(word), draw(st.integers(0, 3))
        events.append(
            wd2_event(values, counter=counter, samples=event_samples, period=event_period, channels=channels)
        )
    return b"".join(events)


def assert_arrays_are_vesk_arrays(events):
    """Each event's samples in an array of its own, handed over without a copy."""
    for event in events:
        if event == FAULT:
            continue
        data = event["data"]
        assert data.ndim == 1
        assert data.dtype.isnative
        assert data.flags.writeable
        assert data.flags.aligned
        assert not data.flags.owndata
        assert type(data.base).__name__ == "PySliceContainer"


@given(st.one_of(damaged(wd1_files), st.binary(max_size=200)))
def test_wd1_matches_reference(tmp_path_factory, data):
    path = tmp_path_factory.mktemp("fuzz") / "f.wd1"
    path.write_bytes(data)
    events = collect(vesk.EventReader(str(path), "WD1"), PANIC)
    assert_same_wd1(events, decode_wd1(data))
    assert_arrays_are_vesk_arrays(events)


@given(st.one_of(damaged(wd2_files()), st.binary(max_size=200)))
def test_wd2_matches_reference(tmp_path_factory, data):
    path = tmp_path_factory.mktemp("fuzz") / "f.wd2"
    path.write_bytes(data)
    expected = decode_wd2(data)
    try:
        reader = vesk.EventReader(str(path), "WD2")
    except PANIC:
        assert expected == FAULT
        return
    except OSError:
        assert expected is None
        return
    assert expected not in (None, FAULT)
    events = collect(reader, PANIC)
    assert_same_wd2(events, expected)
    assert_arrays_are_vesk_arrays(events)
