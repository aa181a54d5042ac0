"""vesk_arrays after damage: reading goes on at the next good event, and every byte of the
file is in an event, a skipped range or the trailing bytes."""

import warnings

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import vesk_arrays as va
from wdfiles import wd1_event, wd2_event

HEADER = {"WD1": 24, "WD2-single": 24, "WD2-multi": 28}
LAYOUT = {"WD1": None, "WD2-single": "single-channel", "WD2-multi": "multi-channel"}


def event(kind, i, n, rng):
    """Event i of a file whose board, period and channels are steady and counters rise."""
    if kind == "WD1":
        return wd1_event(rng.integers(0, 65536, n), board_id=5, event_counter=i, timestamp=1000 * i + 7)
    channels = 2 if kind == "WD2-multi" else None
    values = rng.standard_normal(n * (channels or 1)).astype("f4")
    return wd2_event(values, counter=i, timestamp=1000 * i + 7, samples=n, period=40, channels=channels)


def span(kind, got):
    """Bytes the event took in the file."""
    if kind == "WD1":
        return max(got["event_size"], 24)
    return HEADER[kind] + 4 * got["samples"] * (2 if kind == "WD2-multi" else 1)


@st.composite
def spliced(draw):
    """(kind, damage, file bytes, the intact events, as bytes)."""
    kind = draw(st.sampled_from(sorted(HEADER)))
    damage = draw(st.sampled_from(["zeros", "random", "length", "tail", "cut"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    count = draw(st.integers(2 if kind == "WD2-multi" else 1, 12))
    events = [event(kind, i, draw(st.integers(1, 40)), rng) for i in range(count)]
    starts = np.cumsum([0] + [len(e) for e in events]).tolist()
    # A given multi-channel layout takes its channel count from the first event.
    k = draw(st.integers(1 if kind == "WD2-multi" else 0, len(events) - 1))
    data = bytearray(b"".join(events))
    length_at = starts[k] + (0 if kind == "WD1" else 12)
    if damage in ("zeros", "random"):  # from the length word of event k on
        end = min(length_at + draw(st.integers(4, 300)), len(data))
        data[length_at:end] = bytes(end - length_at) if damage == "zeros" else rng.bytes(end - length_at)
    elif damage == "length":  # a negative WD1 size, or a length past the end of the file
        value = draw(st.integers(len(data) + 2, 2**31 - 1))
        if kind == "WD1" and draw(st.booleans()):
            value = -draw(st.integers(2, 2**31))
        data[length_at : length_at + 4] = (value % 2**32).to_bytes(4, "little")
        end = starts[k] + 1
    elif damage == "tail":  # the writer stopped inside event k, then went on with the next
        end = starts[k + 1]
        del data[starts[k] + draw(st.integers(1, len(events[k]) - 1)) : end]
    else:  # bytes cut out from inside event k on
        cut = starts[k] + draw(st.integers(1, len(events[k]) - 1))
        end = draw(st.integers(cut + 1, len(data)))
        del data[cut:end]
    intact = [e for e, s in zip(events, starts) if s + len(e) <= starts[k] or s >= end]
    # With no good event before the damage, nothing tells which fields to expect: the
    # file's first events are then only as safe as the bytes happen to make them.
    return kind, damage, bytes(data), intact, k


def rebuild(kind, e):
    """An event's bytes, as written."""
    if kind == "WD1":
        fields = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
        return wd1_event(e["data"], **{name: e[name] for name in fields})
    return wd2_event(
        e["data"].tobytes(),
        counter=e["event_counter"],
        timestamp=e["timestamp"],
        samples=e["samples"],
        period=e["sampling_period"],
        channels=e["channels"] if kind == "WD2-multi" else None,
    )


@given(spliced(), st.integers(1, 5))
def test_events_outside_damage_come_back_and_every_byte_is_accounted_for(tmp_path_factory, case, step):
    kind, damage, data, intact, k = case
    path = tmp_path_factory.mktemp("resync") / "f.bin"
    path.write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", va.DamagedEventWarning)
        with va.BatchReader(path, kind[:3], errors="skip", layout=LAYOUT[kind]) as reader:
            got = [b.event(i) for b in reader.batches(step) for i in range(len(b))]
            skipped, trailing = reader.skipped, reader.trailing_bytes
    # The intact events, bit for bit and in order, where the damage hit a length (a
    # length word, or zeros or random bytes from one on). A cut may leave well-formed
    # events that reach into the good ones, read on trust like any undamaged header:
    # there the events before the cut and the accounting hold. Zero-filled WD2 headers
    # are events without samples by the format's rules: there only the accounting holds.
    rest = [rebuild(kind, e) for e in got]
    required = intact if damage in ("length", "zeros", "random") else intact[:k]
    if k == 0 or (damage, kind[:3]) == ("zeros", "WD2"):
        required = []
    for e in required:
        assert e in rest, "an intact event was lost"
        rest = rest[rest.index(e) + 1 :]
    if damage == "length":  # nothing made up
        assert all(rebuild(kind, e) in intact for e in got)
    assert sum(span(kind, e) for e in got) + sum(b - a for a, b in skipped) + trailing == len(data)
    assert all(a < b for a, b in skipped) and all(p[1] < q[0] for p, q in zip(skipped, skipped[1:]))
