"""WD2 decoding: the layout probe, the dictionaries, bit-exact floats, truncation and faults."""

import io
import os
import struct

import numpy as np
import pytest

import vesk
import vesk_arrays
from wdfiles import FAULT, WD2_KEYS, collect, decode_wd2, files_open_under, wd2_event
from wdfiles import assert_same_wd2 as assert_same_events


def read_all(path, panic):
    return collect(vesk.EventReader(path, "WD2"), panic)


def multi(n, channels, samples=3, first_counter=10, period=5, step=1):
    return b"".join(
        wd2_event(
            np.arange(samples * channels) + 100 * i,
            counter=first_counter + step * i,
            timestamp=2**40 + i,
            samples=samples,
            period=period,
            channels=channels,
        )
        for i in range(n)
    )


def single(n, samples=4, first_counter=10, period=5, first_value=1.5):
    return b"".join(
        wd2_event(
            np.full(samples, first_value + i, dtype=np.float32),
            counter=first_counter + i,
            timestamp=i,
            period=period,
        )
        for i in range(n)
    )


@pytest.mark.parametrize(
    "data, channels, counters",
    [
        (multi(3, channels=4), [4] * 3, [10, 11, 12]),
        (multi(1, channels=4), [4], [10]),  # one multi-channel event
        (multi(3, channels=2, step=7), [2] * 3, [10, 17, 24]),  # events dropped or filtered out
        (multi(3, channels=1), [1] * 3, [10, 11, 12]),  # the field is kept even for one channel
        (single(3), [1] * 3, [10, 11, 12]),
        (single(1), [1], [10]),  # one single-channel event
        (single(3, first_value=-2.0), [1] * 3, [10, 11, 12]),  # negative first sample
        (single(2, samples=0), [1] * 2, [10, 11]),
        (multi(2, channels=3, first_counter=0xFFFFFFFF), [3, 3], [0xFFFFFFFF, 0]),
        (single(2, first_counter=0xFFFFFFFF), [1, 1], [0xFFFFFFFF, 0]),
    ],
)
def test_both_layouts_decode(write, PanicException, data, channels, counters):
    events = read_all(write(data), PanicException)
    assert [e["channels"] for e in events] == channels
    assert [e["event_counter"] for e in events] == counters
    assert_same_events(events, decode_wd2(data))
    for event in events:
        assert event["data"].shape == (event["samples"] * event["channels"],)


@pytest.mark.parametrize(
    "samples, channels",
    [([4, 2, 7, 0, 3], None), ([0, 5, 1], None), ([100, 50, 100, 300], 3), ([2, 0, 9], 2)],
)
def test_events_of_varying_length(write, samples, channels):
    # Zero suppression and variable record lengths: only the counter, the
    # period and the channel field tie the first two events together.
    data = b"".join(
        wd2_event(np.arange(n * (channels or 1)) + 0.5 + i, counter=i, samples=n, period=8, channels=channels)
        for i, n in enumerate(samples)
    )
    path = write(data)
    expected = decode_wd2(data)
    assert [e["samples"] for e in expected] == samples
    batch = vesk_arrays.read(path, "WD2")
    assert_same_events(list(vesk.EventReader(path, "WD2")), expected)
    assert_same_events([batch.event(i) for i in range(len(batch))], expected)


def test_dictionary_fields_are_unsigned_with_signed_channels(write):
    data = b"".join(
        wd2_event(
            [1.0, 2.0], counter=0xFFFFFFFE + i, timestamp=2**64 - 1, samples=1, period=2**63 + 5, channels=2
        )
        for i in range(2)
    )
    event = next(vesk.EventReader(write(data), "WD2"))
    assert list(event) == WD2_KEYS
    assert event["event_counter"] == 0xFFFFFFFE
    assert event["timestamp"] == 2**64 - 1
    assert event["sampling_period"] == 2**63 + 5
    assert event["samples"] == 1 and event["channels"] == 2


def test_zero_channels_give_empty_events(write):
    data = b"".join(wd2_event(b"", counter=i, samples=7, channels=0) for i in range(3))
    events = list(vesk.EventReader(write(data), "WD2"))
    assert [(e["event_counter"], e["channels"], e["data"].size) for e in events] == [
        (0, 0, 0),
        (1, 0, 0),
        (2, 0, 0),
    ]


def test_negative_channel_count_without_samples(write, PanicException):
    data = b"".join(wd2_event(b"", counter=i, samples=0, channels=-3) for i in range(2))
    data += wd2_event(b"", counter=2, samples=1, channels=-3)
    events = read_all(write(data), PanicException)
    assert [e if e == FAULT else e["channels"] for e in events] == [-3, -3, FAULT]


@pytest.mark.parametrize(
    "counter, period, channels", [(1, 0, 2), (0, 0, 2), (2**31 + 1, 0, 2), (2, 1, 2), (2, 0, 1)]
)
def test_mismatched_second_event_falls_back_to_one_channel(write, PanicException, counter, period, channels):
    data = wd2_event([1, 2, 3, 4], counter=1, samples=2, channels=2)
    data += wd2_event([1, 2], counter=counter, samples=2 // channels, period=period, channels=channels)
    events = read_all(write(data), PanicException)
    assert all(e["channels"] == 1 for e in events)
    assert_same_events(events, decode_wd2(data))


def test_floats_keep_every_bit(write):
    words = np.array(
        [
            0x7FC00001,
            0x7F800001,
            0xFFBFFFFF,
            0x80000000,
            0x00000001,
            0x807FFFFF,
            0x7F800000,
            0xFF800000,
            0x3F800000,
            0,
        ],
        dtype="<u4",
    )
    data = b"".join(wd2_event(words.tobytes(), counter=i, samples=5, channels=2) for i in range(2))
    for event in vesk.EventReader(write(data), "WD2"):
        np.testing.assert_array_equal(event["data"].view(np.uint32), words)


@pytest.mark.parametrize("data", [b"", b"\0" * 27, multi(1, channels=2)[:-1], single(1)[:-1]])
def test_probe_failures_are_plain_os_error(tmp_path, write, data):
    with pytest.raises(OSError) as raised:
        vesk.EventReader(write(data), "WD2")
    assert type(raised.value) is OSError
    assert raised.value.args == ("failed to fill whole buffer",)
    assert raised.value.errno is None
    assert files_open_under(tmp_path) == []


def test_directory_probe_failure(tmp_path):
    with pytest.raises(OSError) as raised:
        vesk.EventReader(str(tmp_path), "WD2")
    assert type(raised.value) is OSError
    assert raised.value.args == ("Is a directory (os error 21)",)


def test_impossible_probe_skip_is_a_fault_and_closes_the_file(tmp_path, write, PanicException):
    # a negative first sample read as a channel count, in a file that is not single-channel either
    data = wd2_event(b"", counter=1, samples=5, channels=-1) + b"\0" * 40
    with pytest.raises(PanicException) as raised:
        vesk.EventReader(write(data), "WD2")
    assert raised.value.args == ("capacity overflow",)
    assert files_open_under(tmp_path) == []


def test_every_truncation_point_ends_quietly(write, PanicException):
    for data in (multi(3, channels=2), single(3)):
        for cut in range(len(data) + 1):
            expected = decode_wd2(data[:cut])
            if expected is None:
                with pytest.raises(OSError):
                    vesk.EventReader(write(data[:cut]), "WD2")
                continue
            assert_same_events(read_all(write(data[:cut]), PanicException), expected)


def bytes_read():
    with open("/proc/self/io") as f:
        return int(dict(line.split(": ") for line in f.read().splitlines())["rchar"])


@pytest.mark.parametrize("events", [1, 2])
def test_probe_of_a_large_file_seeks_instead_of_reading(tmp_path, events):
    samples = (1 << 30) // 4  # a 1 GiB event, stored sparse
    path = tmp_path / "big.wd2"
    with open(path, "wb") as f:
        for i in range(events):
            f.write(struct.pack("<IQIQf", 10 + i, 0, samples, 8, 1.0))
            f.seek(4 * samples - 4, os.SEEK_CUR)
        f.truncate()
    before = bytes_read()
    vesk.EventReader(str(path), "WD2")
    assert bytes_read() - before < 100_000


@pytest.mark.filterwarnings("ignore::vesk_arrays.DamagedEventWarning")
@pytest.mark.parametrize("header", [0, 1])
def test_a_flipped_bit_in_the_first_two_headers_costs_at_most_that_event(write, header):
    # Every bit of the first or second header of a 4-channel file, flipped: the layout
    # comes from the chain of lengths where the first two events no longer tell it, and
    # reading loses at most the damaged event, and says so.
    count, size = 40, 28 + 4 * 3 * 4
    data = multi(count, channels=4)
    expected = decode_wd2(data)
    for bit in range(28 * 8):
        damaged = bytearray(data)
        damaged[header * size + bit // 8] ^= 1 << bit % 8
        with vesk_arrays.BatchReader(write(bytes(damaged)), "WD2", errors="skip") as reader:
            batch = reader.read(10**6)
            assert (reader.has_channel_field, reader.channel_count) == (True, 4), bit
            events = [batch.event(i) for i in range(len(batch))]
            if len(events) == count:
                del events[header]
            else:
                assert reader.skipped_bytes > 0, bit
            assert_same_events(events, expected[:header] + expected[header + 1 :])


@pytest.mark.parametrize("samples, channels", [(7, 0), (0, -3)])
def test_multi_channel_layout_reads_what_the_probe_reads(write, samples, channels):
    # Events without channels, whose channel field a multi-channel reading takes as it is.
    path = write(b"".join(wd2_event(b"", counter=i, samples=samples, channels=channels) for i in range(3)))
    probed, given = (vesk_arrays.read(path, "WD2", layout=layout) for layout in (None, "multi-channel"))
    assert_same_events([given.event(i) for i in range(3)], [probed.event(i) for i in range(3)])
    assert_same_events([probed.event(i) for i in range(3)], list(vesk.EventReader(path, "WD2")))


@pytest.mark.parametrize("source", ["path", "memory"])
def test_falling_counters_over_a_single_channel_look_alike(write, source):
    # The second 24-byte header happens to follow the first (period 0, a float's bits for a
    # counter), but followed on, only the multi-channel headers chain to the end.
    data = b"".join(
        wd2_event(np.arange(n, dtype="f4") + 1, counter=100 - i, timestamp=5000 + i, channels=1)
        for i, n in enumerate([6, 0, 11, 6, 18])
    )
    path = write(data)
    with vesk_arrays.BatchReader(path if source == "path" else io.BytesIO(data), "WD2") as reader:
        assert reader.read(100)["samples"].tolist() == [6, 0, 11, 6, 18]
        assert reader.has_channel_field and reader.trailing_bytes == 0
