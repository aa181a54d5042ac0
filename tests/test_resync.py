"""vesk_arrays after damage: reading goes on at the next good event, and every byte of the
file is in an event, a skipped range or the trailing bytes."""

import io
import struct
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vesk_arrays as va
from wdfiles import wd1_event, wd2_event

HEADER = {"WD1": 24, "WD2-single": 24, "WD2-multi": 28}
LAYOUT = {"WD1": None, "WD2-single": "single-channel", "WD2-multi": "multi-channel"}


def event(kind, i, n, rng, steady=True, counter=None, lookalike=False):
    """Event i of a file whose board, period and channels are steady (5, 40; 0, 0 where
    `steady` is False: nothing for a scan to look for) and counters rise (or are `counter`).
    `lookalike`: timestamps 0 and steady fields that repeat the length (WD1 board, pattern
    and board channel; WD2 period), so that headers read 4 bytes off the events announce
    their length and steady fields."""
    counter = i if counter is None else counter
    timestamp = 0 if lookalike else 1000 * i + 7
    if kind == "WD1":
        board = 24 + 2 * n if lookalike else 5 if steady else 0
        samples = rng.integers(0, 65536, n)
        same = {"pattern": board, "board_channel": board} if lookalike else {}
        return wd1_event(samples, board_id=board, event_counter=counter, timestamp=timestamp, **same)
    channels = 2 if kind == "WD2-multi" else None
    values = rng.standard_normal(n * (channels or 1)).astype("f4")
    period = n if lookalike else 40 if steady else 0
    fields = {"counter": counter, "timestamp": timestamp, "samples": n, "period": period}
    return wd2_event(values, channels=channels, **fields)


def span(kind, got):
    """Bytes the event took in the file."""
    if kind == "WD1":
        return max(got["event_size"], 24)
    return HEADER[kind] + 4 * got["samples"] * (2 if kind == "WD2-multi" else 1)


@st.composite
def spliced(draw):
    """(kind, damage, file bytes, the intact events as bytes, the first damaged event, whether
    the events have one length, how many were damaged, whether counters count in a file of
    steady fields). Damage hits one event, or (dense) several."""
    kind = draw(st.sampled_from(sorted(HEADER)))
    damage = draw(st.sampled_from(["zeros", "random", "length", "flip", "tail", "cut", "lookalike"]))
    lookalike = damage == "lookalike"  # a cut in a file of lookalike events (see event)
    damage = "cut" if lookalike else damage
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    uniform = lookalike or draw(st.booleans())
    count = draw(st.integers(2 if kind == "WD2-multi" else 1, 60 if uniform else 12))
    steady, zero_counters = lookalike or draw(st.booleans()), not lookalike and draw(st.booleans())
    n = draw(st.integers(1, 40))
    counter = 0 if zero_counters else None
    events = [
        event(kind, i, n if uniform else draw(st.integers(1, 40)), rng, steady, counter, lookalike)
        for i in range(count)
    ]
    starts = np.cumsum([0] + [len(e) for e in events]).tolist()
    # A given multi-channel layout takes its channel count from the first event.
    first = 1 if kind == "WD2-multi" else 0
    in_place = damage in ("zeros", "random", "length", "flip")
    # Dense damage leaves at least a chain of three intact events between two hits.
    hit = [draw(st.integers(first, count - 1))]
    while in_place and len(hit) < 4 and draw(st.booleans()):
        hit.append(hit[-1] + draw(st.integers(4, 12)))
    hit = hit[:1] + [k for k in hit[1:] if k < count - 1]
    data = bytearray(b"".join(events))
    damaged = set()  # byte ranges [a, b) of the original file that damage touched
    for k in reversed(hit):
        length_at = starts[k] + (0 if kind == "WD1" else 12)
        if damage in ("zeros", "random"):  # from the length word of event k on (dense: within it)
            end = min(length_at + draw(st.integers(4, 300)), len(data) if len(hit) == 1 else starts[k + 1])
            data[length_at:end] = bytes(end - length_at) if damage == "zeros" else rng.bytes(end - length_at)
        elif damage == "length":  # a negative WD1 size, or a length past the end of the file
            value = draw(st.integers(len(data) + 2, 2**31 - 1))
            if kind == "WD1" and draw(st.booleans()):
                value = -draw(st.integers(2, 2**31))
            data[length_at : length_at + 4] = (value % 2**32).to_bytes(4, "little")
            end = starts[k] + 1
        elif damage == "flip":  # one bit of the length word, whatever the length then says
            word = int.from_bytes(data[length_at : length_at + 4], "little") ^ 1 << draw(st.integers(0, 31))
            data[length_at : length_at + 4] = word.to_bytes(4, "little")
            end = starts[k] + 1
        elif damage == "tail":  # the writer stopped inside event k, then went on with the next
            end = starts[k + 1] if k + 1 < count else len(data)
            del data[starts[k] + draw(st.integers(1, len(events[k]) - 1)) : end]
        else:  # bytes cut out from inside event k on (4 from its samples: the lookalike's trap)
            cut = starts[k] + draw(st.integers(HEADER[kind] if lookalike else 1, len(events[k]) - 1))
            end = min(cut + 4, len(data)) if lookalike else draw(st.integers(cut + 1, len(data)))
            del data[cut:end]
        damaged.add((starts[k], end))
    intact = [e for e, s in zip(events, starts) if all(s + len(e) <= a or s >= b for a, b in damaged)]
    # With no good event before the damage, nothing tells which fields to expect: the
    # file's first events are then only as safe as the bytes happen to make them.
    counted = uniform and steady and not zero_counters  # a cut then shows where it ends
    return kind, damage, bytes(data), intact, hit[0], uniform, len(hit), counted


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


class Pipe:
    """Bytes read as from a pipe: a stream that may be live, unlike bytes in memory."""

    def __init__(self, data):
        self.data = io.BytesIO(data)

    def readinto(self, buffer):
        return self.data.readinto(buffer)


# Mapped, a path is decoded in place: its damage, resynchronisation and accounting are
# those of the copying read (anything else reads as without memory_map).
@pytest.mark.parametrize("memory_map", [False, True])
@given(spliced(), st.integers(1, 5), st.sampled_from(["path", "memory", "pipe"]))
def test_events_outside_damage_come_back_and_every_byte_is_accounted_for(
    tmp_path_factory, memory_map, case, step, source
):
    kind, damage, data, intact, k, uniform, hits, counted = case
    path = tmp_path_factory.mktemp("resync") / "f.bin"
    path.write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", va.DamagedEventWarning)
        opened = {"path": path, "memory": io.BytesIO(data), "pipe": Pipe(data)}[source]
        with va.BatchReader(
            opened, kind[:3], errors="skip", layout=LAYOUT[kind], memory_map=memory_map
        ) as reader:
            got = [b.event(i) for b in reader.batches(step) for i in range(len(b))]
            skipped, skipped_bytes, trailing = reader.skipped, reader.skipped_bytes, reader.trailing_bytes
    # The intact events, bit for bit and in order, where the damage hit a length (a
    # length word, or zeros or random bytes from one on), however densely. A cut may
    # leave well-formed events that reach into the good ones, read on trust like any
    # undamaged header: there the events before the cut and the accounting hold.
    rest = [rebuild(kind, e) for e in got]
    # A flipped length in events of many lengths, or before the file has shown how its
    # counters step, may land on a good header: there only the events before it are safe.
    # A stream that may be live checks lengths against the bytes it holds, without waiting
    # for its end: a length that runs past them is read on trust, and there the events
    # before the damage and the accounting hold. Bytes in memory are checked as a file's.
    flip_told = damage == "flip" and uniform and k >= 2 and source != "pipe"
    # A cut in events of one length, steady fields and counters that count is found where
    # it ends (events that begin a few bytes off repeat neither the fields nor the counters),
    # and a file looks back into the event it cut for the event after it, given a chain of
    # events after the cut to find.
    cut_told = damage == "cut" and counted and k >= 2 and len(intact) - k >= 3 and source == "path"
    told = (damage in ("length", "zeros", "random") and source != "pipe") or cut_told
    required = intact if told or flip_told else intact[:k]
    if k == 0:
        required = []
    for e in required:
        assert e in rest, "an intact event was lost"
        rest = rest[rest.index(e) + 1 :]
    if (damage == "length" and source != "pipe") or flip_told or cut_told:  # nothing made up
        # (but a flipped or cut event itself, where its length still fits what it holds)
        assert len([e for e in got if rebuild(kind, e) not in intact]) <= (0 if damage == "length" else hits)
    assert sum(b - a for a, b in skipped) == skipped_bytes
    # (A flipped WD1 size may end the file with an odd one whose pad byte is missing.)
    pad_missing = kind == "WD1" and bool(got) and got[-1]["event_size"] >= 25 and got[-1]["event_size"] % 2
    total = sum(span(kind, e) for e in got) + skipped_bytes + trailing
    assert total in (len(data), len(data) + pad_missing)
    assert all(a < b for a, b in skipped) and all(p[1] < q[0] for p, q in zip(skipped, skipped[1:]))


def damaged_file(kind):
    """Events 0 to 9 with event 4's length damaged: negative (WD1) or past the end (WD2)."""
    rng = np.random.default_rng(0)
    events = [bytearray(event(kind, i, 8, rng)) for i in range(10)]
    at = 0 if kind == "WD1" else 12
    events[4][at : at + 4] = (2**32 - 2 if kind == "WD1" else 2**30).to_bytes(4, "little")
    return b"".join(events), len(events[0])


@pytest.mark.parametrize("kind", ["WD1", "WD2-multi"])
def test_raise_mode_gives_the_good_events_then_the_error_then_goes_on(write, kind):
    data, size = damaged_file(kind)
    with va.BatchReader(write(data), kind[:3], layout=LAYOUT[kind]) as reader:
        first = reader.read(100)
        with pytest.raises(va.DamagedEventError) as raised:
            reader.read(100)
        rest = reader.read(100)
        assert len(reader.read(100)) == 0 and reader.trailing_bytes == 0
    error = raised.value
    assert (first.start, first.stop, rest.start, rest.stop) == (0, 4, 5, 10)
    assert (error.index, error.offset, error.skipped, error.resume_at) == (
        4,
        4 * size,
        (4 * size, 5 * size),
        5 * size,
    )
    assert str(4 * size) in str(error) and error.path in str(error)
    # The indices of the batches give them back.
    with pytest.warns(va.DamagedEventWarning):
        again = va.read(reader.path, kind[:3], start=5, stop=10, errors="skip", layout=LAYOUT[kind])
    assert again["event_counter"].tolist() == rest["event_counter"].tolist() == [5, 6, 7, 8, 9]


@pytest.mark.parametrize(
    "use, warnings_given",
    [
        (lambda path, step: va.read(path, "WD1", errors="skip"), 1),
        (lambda path, step: list(va.BatchReader(path, "WD1", errors="skip").batches(step)), 1),
        (lambda path, step: list(va.iterate([path, path], "WD1", errors="skip", step_size=step)), 2),
    ],
)
@pytest.mark.parametrize("step", [1, 3, 100])
def test_skip_mode_warns_once_per_file_and_reports_what_it_skipped(write, use, warnings_given, step):
    data, _ = damaged_file("WD1")
    tail = wd1_event(event_size=5, board_id=5) + event("WD1", 10, 8, np.random.default_rng(1)) + b"\x07" * 5
    path = write(data + tail)  # a second damaged header, one more event, a truncated last one
    with pytest.warns(va.DamagedEventWarning) as warned:
        use(path, step)
    assert len(warned) == warnings_given and "2 damaged events" in str(warned[0].message)
    with pytest.warns(va.DamagedEventWarning):
        pairs = list(va.iterate(path, "WD1", errors="skip", report=True, step_size=step))
    reports = [report for _, report in pairs]
    assert [r.trailing_bytes for r in reports][-1] == 5 and sum(r.trailing_bytes for r in reports) == 5
    assert sum(r.damaged_count for r in reports) == 2 and not all(r.ok for r in reports)
    # Each event's index in the file: the damaged ones are left out, not shifted into.
    indices = np.concatenate([batch.event_index for batch, _ in pairs])
    damaged = {d.index for r in reports for d in r.damaged}
    assert sorted(set(indices.tolist()) | damaged) == list(range(int(indices.max()) + 1))


def test_read_raises_a_read_error_met_after_some_events(write):
    import io

    class FailsLater(io.RawIOBase):
        def __init__(self, data):
            self.data, self.given = data, 0

        def readable(self):
            return True

        def readinto(self, buffer):
            if self.given >= 10 * 26:
                raise OSError(5, "Input/output error")
            n = min(len(buffer), 26, len(self.data) - self.given)
            buffer[:n] = self.data[self.given : self.given + n]
            self.given += n
            return n

    data = b"".join(event("WD1", i, 1, np.random.default_rng(i)) for i in range(40))
    with pytest.raises(OSError, match="Input/output"):
        va.read(FailsLater(data), "WD1")


def test_threads_sharing_a_reader_raise_every_damaged_event(write):
    import sys
    import threading

    good = event("WD1", 0, 1, np.random.default_rng(0))
    bad = wd1_event(event_size=5, board_id=5)
    path = write((good + bad) * 2000)
    raised, got = [], []
    with va.BatchReader(path, "WD1") as reader:

        def work():
            while True:
                try:
                    batch = reader.read(1)
                except va.DamagedEventError as error:
                    raised.append(error.index)
                    continue
                if not len(batch):
                    return
                got.append(batch.start)

        threads = [threading.Thread(target=work) for _ in range(8)]
        switching = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # threads interleave between any two bytecodes
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        sys.setswitchinterval(switching)
    assert sorted(raised) == list(range(1, 4000, 2)) and sorted(got) == list(range(0, 4000, 2))


@pytest.mark.plain_memory
def test_a_file_of_zeros_costs_kilobytes_of_records(write):
    from wdfiles import rss

    path = write(bytes(48 << 20))
    before = rss()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", va.DamagedEventWarning)
        with va.BatchReader(path, "WD1", errors="skip") as reader:
            assert len(reader.read(10)) == 0
            assert reader.skipped == ((0, 48 << 20),) and reader.damaged_count == 1
    assert rss() - before < 16 << 20


def test_an_empty_wd2_file_gives_no_events_and_is_probed_once_it_has_grown(tmp_path):
    path = tmp_path / "new.wd2"
    path.write_bytes(b"")
    assert len(va.read(path, "WD2")) == 0
    events = [wd2_event([1.0, 2.0], counter=i, samples=1, period=3, channels=2) for i in range(3)]
    with va.BatchReader(path, "WD2", follow=True, poll_interval=0.01, timeout=0.5) as reader:
        assert len(reader.read(5)) == 0 and reader.has_channel_field is None
        path.write_bytes(b"".join(events))
        assert reader.read(5)["event_counter"].tolist() == [0, 1, 2]
        assert reader.channel_count == 2


def wd1_run(counters, samples=range(10)):
    return [bytearray(wd1_event(samples, board_id=5, event_counter=c)) for c in counters]


def one_event_read_on_trust():
    good = wd1_run(range(10))
    garbage = wd1_event(range(12), board_id=5, event_counter=2_000_000_000)
    overlong = struct.pack("<6i", 0x7FFFFFF0, 5, 0, 0, 3, 0)
    return b"".join(good[:3]) + garbage + overlong + b"".join(good[3:]), [
        0,
        1,
        2,
        2_000_000_000,
        3,
        4,
        5,
        6,
        7,
        8,
        9,
    ]


def an_odd_length_one_byte_too_long():
    events = wd1_run(range(10))
    events[3][0] ^= 1  # 44 bytes become 45: the event reaches one byte into the next
    return b"".join(events), [0, 1, 2, 4, 5, 6, 7, 8, 9]


@pytest.mark.parametrize("make", [one_event_read_on_trust, an_odd_length_one_byte_too_long])
@pytest.mark.parametrize("step", [1, 2, 3, 4, 1000])
def test_events_after_damage_come_back_whatever_the_step(write, make, step):
    data, counters = make()
    path = write(data)
    with pytest.warns(va.DamagedEventWarning):
        pairs = list(va.iterate(path, "WD1", errors="skip", report=True, step_size=step))
    assert [c for b, _ in pairs for c in b["event_counter"].tolist()] == counters
    assert not all(r.ok for _, r in pairs)


@pytest.mark.parametrize("kind", sorted(HEADER))
def test_a_cut_that_leaves_headers_like_the_events_costs_one_event(write, kind):
    # Headers read 4 bytes off the events announce their length and fields: their counters
    # standing still gives them away.
    rng = np.random.default_rng(0)
    data = bytearray(b"".join(event(kind, i, 8, rng, lookalike=True) for i in range(12)))
    cut = 5 * len(data) // 12 + HEADER[kind] + 6
    del data[cut : cut + 4]
    with pytest.warns(va.DamagedEventWarning):
        batch = va.read(write(bytes(data)), kind[:3], errors="skip", layout=LAYOUT[kind])
    assert batch["event_counter"].tolist() == [0, 1, 2, 3, 4, 6, 7, 8, 9, 10, 11]  # 5 was cut


@pytest.mark.parametrize("kind", sorted(HEADER))
@pytest.mark.parametrize("bit", [2, 3, 5])
def test_a_stream_checks_a_flipped_length_against_the_bytes_it_holds(kind, bit):
    # Checked without waiting for bytes a live writer has yet to write: those of a pipe
    # that came with the event.
    rng = np.random.default_rng(bit)
    events = [event(kind, i, 8, rng) for i in range(20)]
    data = bytearray(b"".join(events))
    length_at = 7 * len(events[0]) + (0 if kind == "WD1" else 12)
    data[length_at] ^= 1 << bit
    with pytest.warns(va.DamagedEventWarning):
        batch = va.read(Pipe(bytes(data)), kind[:3], errors="skip", layout=LAYOUT[kind])
    assert batch["event_counter"].tolist() == [i for i in range(20) if i != 7]


@pytest.mark.parametrize("tail", [b"", b"\x01" * 20])
def test_a_stream_accounts_for_its_bytes_as_a_file_does(tail):
    import io

    data = wd1_event([1, 2], event_size=29, trailing=b"\0") + tail  # an odd size: a pad byte
    with va.BatchReader(io.BytesIO(data), "WD1") as reader:
        assert len(reader.read(10)) == 1 and len(reader.read(10)) == 0
        assert (reader.position, reader.trailing_bytes) == (29, len(tail))


def spaced_damage_file(kind):
    """Events 0 to 29 of one size, the lengths of events 5, 12 and 20 damaged as in damaged_file."""
    rng = np.random.default_rng(2)
    events = [bytearray(event(kind, i, 8, rng)) for i in range(30)]
    at = 0 if kind == "WD1" else 12
    for i in (5, 12, 20):
        events[i][at : at + 4] = (2**32 - 2 if kind == "WD1" else 2**30).to_bytes(4, "little")
    return b"".join(events), len(events[0])


@pytest.mark.parametrize("kind", ["WD1", "WD2-multi"])
@pytest.mark.parametrize("step", [1, 4, 7, 100])
def test_a_range_raises_only_for_damage_among_its_events(write, kind, step):
    data, size = spaced_damage_file(kind)
    path, fmt, layout = write(data), kind[:3], LAYOUT[kind]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", va.DamagedEventWarning)
        pairs = list(
            va.iterate(path, fmt, errors="skip", report=True, step_size=step, layout=layout, start=7)
        )
        assert all(report.events.start == batch.start for batch, report in pairs)
        assert {d.index for _, report in pairs for d in report.damaged} == {5, 12, 20}  # 5 passed over
        # The indices of a skip-mode read's batches give them back; without damage among
        # their events, with errors="raise" too.
        with va.BatchReader(path, fmt, errors="skip", layout=layout) as reader:
            batches = list(reader.batches(step))
            damaged = reader.damaged
        for b in batches:
            clean = {5, 12, 20}.isdisjoint(range(b.start, b.stop))
            for errors in ("skip", "raise") if clean else ("skip",):
                again = va.read(path, fmt, start=b.start, stop=b.stop, errors=errors, layout=layout)
                assert again.event_index.tolist() == b.event_index.tolist()
    # Each damaged event's loss, at the file's event size.
    assert [(d.index, d.estimated_events) for d in damaged] == [
        (d.index, (d.skipped[1] - d.skipped[0]) // size) for d in damaged
    ]
    assert all(d.estimated_events >= 1 and f"about {d.estimated_events} event" in str(d) for d in damaged)
    for start, stop, warned in [(0, 5, 0), (6, 12, 1), (13, 20, 1), (21, 30, 1)]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = va.read(path, fmt, start=start, stop=stop, layout=layout)
        assert got["event_counter"].tolist() == list(range(start, stop))
        assert len(caught) == warned  # for the damage passed over before start
    skipped = sum(d.skipped[1] - d.skipped[0] for d in damaged if d.index < 21)
    assert f"{skipped} bytes, about {skipped // size} events" in str(caught[0].message)
    with pytest.warns(va.DamagedEventWarning), pytest.raises(va.DamagedEventError, match="event 20 "):
        va.read(path, fmt, start=19, stop=21, layout=layout)
    # Damage right after a range is left for the next call.
    with va.BatchReader(path, fmt, layout=layout) as reader:
        assert reader.read_range(5)["event_counter"].tolist() == list(range(5))
        with pytest.raises(va.DamagedEventError, match="event 5 "):
            reader.read(3)
        assert reader.read(3)["event_counter"].tolist() == [6, 7, 8]


@pytest.mark.parametrize("claimed", [3, 7])
def test_a_first_length_that_a_run_inside_the_event_disproves_is_damage(write, claimed):
    """The first event claims `claimed` events' length, and a header of the next event lies
    there; the events of one length that begin inside it show the claim wrong."""
    events = [wd1_event(np.full(100, 1000 + i), board_id=5, event_counter=i) for i in range(12)]
    first = bytearray(events[0])
    first[:4] = struct.pack("<I", claimed * len(events[0]))
    path = write(bytes(first) + b"".join(events[1:]))
    with pytest.warns(va.DamagedEventWarning):
        batch = va.read(path, "WD1", errors="skip")
    assert batch["event_counter"].tolist() == list(range(1, 12))
