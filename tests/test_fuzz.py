"""Property-based fuzzing of EventReader: random and damaged files of both formats.

Every file is decoded by vesk and by the reference decoders of wdfiles; they must
agree, and nothing may crash. VESK_FUZZ_EXAMPLES raises the number of examples
(the CI fuzz stage runs far more than the default).
"""

import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vesk
from conftest import collect, fault_class
from test_wd1 import assert_same_events as assert_same_wd1
from test_wd2 import assert_same_events as assert_same_wd2
from wdfiles import FAULT, decode_wd1, decode_wd2, wd1_event, wd2_event

EXAMPLES = int(os.environ.get("VESK_FUZZ_EXAMPLES", "150"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
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
    channels = draw(st.one_of(st.none(), st.integers(-2, 4)))
    samples = draw(st.integers(0, 10))
    count = samples * (channels if channels and channels > 0 else 1)
    period = draw(st.integers(0, 3))
    first = draw(word)
    events = []
    for i in range(draw(st.integers(0, 5))):
        values = draw(st.binary(min_size=4 * count, max_size=4 * count))
        events.append(wd2_event(values, counter=first + i, samples=samples, period=period, channels=channels))
    return b"".join(events)


@FUZZ
@given(st.one_of(damaged(wd1_files), st.binary(max_size=200)))
def test_wd1_matches_reference(tmp_path_factory, data):
    path = tmp_path_factory.mktemp("fuzz") / "f.wd1"
    path.write_bytes(data)
    assert_same_wd1(collect(vesk.EventReader(str(path), "WD1"), PANIC), decode_wd1(data))


@FUZZ
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
    assert_same_wd2(collect(reader, PANIC), expected)
    assert all(isinstance(e, dict) and e["data"].dtype == np.float32 for e in expected if e != FAULT)
