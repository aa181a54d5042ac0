"""WD1 decoding end to end: fields, samples, truncation, odd sizes, faults and read errors."""

import numpy as np
import pytest

import vesk
from wdfiles import WD1_KEYS, decode_wd1, run_python, wd1_event
from wdfiles import assert_same_wd1 as assert_same_events


def three_events():
    return b"".join(
        wd1_event(
            range(i, i + 4),
            board_id=10 + i,
            pattern=20 + i,
            board_channel=i,
            event_counter=100 + i,
            timestamp=1000 * i,
        )
        for i in range(3)
    )


def test_three_events_then_stop_iteration_for_good(write):
    reader = vesk.EventReader(write(three_events()), "WD1")
    events = [next(reader) for _ in range(3)]
    assert [list(e) for e in events] == [WD1_KEYS] * 3
    assert [e["event_counter"] for e in events] == [100, 101, 102]
    assert events[2]["board_id"] == 12 and events[2]["timestamp"] == 2000
    np.testing.assert_array_equal(events[1]["data"], [1, 2, 3, 4])
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)


@pytest.mark.parametrize(
    "word, value",
    [(0xFFFFFFFF, -1), (0xFFFFFFF0, -16), (0x80000000, -(2**31)), (0x7FFFFFFF, 2**31 - 1), (0, 0)],
)
@pytest.mark.parametrize("field", WD1_KEYS[1:6])
def test_header_words_are_signed_32_bit(write, field, word, value):
    event = next(vesk.EventReader(write(wd1_event([5], **{field: word})), "WD1"))
    assert event[field] == value


def test_samples_keep_every_bit(write):
    samples = np.arange(512, dtype=np.uint16) * 127
    samples[:3] = [0, 0xFFFF, 0x8000]
    event = next(vesk.EventReader(write(wd1_event(samples)), "WD1"))
    assert event["event_size"] == 1048
    np.testing.assert_array_equal(event["data"], samples)


@pytest.mark.parametrize("event_size", [23, 24, 25])
def test_sizes_without_samples(write, event_size):
    trailing = b"\xaa" * (event_size - 24) if event_size > 24 else b""
    data = wd1_event(event_size=event_size, trailing=trailing) + wd1_event([9], event_counter=7)
    events = list(vesk.EventReader(write(data), "WD1"))
    if event_size == 23:
        # 23 declares less than a header: the next header starts right after this one
        assert [e["event_counter"] for e in events] == [0, 7]
    assert events[0]["data"].shape == (0,)
    assert events[-1]["event_counter"] == 7


def test_every_truncation_point_ends_quietly(write):
    data = three_events()
    for cut in range(len(data) + 1):
        events = list(vesk.EventReader(write(data[:cut]), "WD1"))
        assert_same_events(events, decode_wd1(data[:cut]))


def test_odd_event_size_ends_the_event_at_its_declared_size(write):
    # 27 bytes: a header, one sample and one trailing byte that belongs to the event
    odd = wd1_event([0x1234], event_size=27, trailing=b"\xee", event_counter=1)
    data = odd + wd1_event([5, 6], event_counter=2) + odd + wd1_event([7], event_counter=3)
    events = list(vesk.EventReader(write(data), "WD1"))
    assert [e["event_counter"] for e in events] == [1, 2, 1, 3]
    np.testing.assert_array_equal(events[1]["data"], [5, 6])
    np.testing.assert_array_equal(events[3]["data"], [7])


def test_odd_last_event_missing_its_trailing_byte(tmp_path):
    path = tmp_path / "growing.wd1"
    path.write_bytes(wd1_event([1, 2], event_size=29, event_counter=1))
    reader = vesk.EventReader(str(path), "WD1")
    first = next(reader)
    assert first["event_counter"] == 1
    np.testing.assert_array_equal(first["data"], [1, 2])
    with pytest.raises(StopIteration):
        next(reader)
    # When the writer catches up, the trailing byte is still dropped first.
    with open(path, "ab") as f:
        f.write(b"\xee" + wd1_event([3], event_counter=2))
    second = next(reader)
    assert second["event_counter"] == 2
    np.testing.assert_array_equal(second["data"], [3])


@pytest.mark.parametrize("event_size", [22, 0, 1, -1, 0x80000018, 0xFFFFFFFF])
def test_negative_sample_count_is_a_fault_and_the_reader_goes_on(write, PanicException, event_size):
    # The header of the faulting event is consumed; the next 24 bytes are read as a header.
    data = wd1_event(event_size=event_size) + wd1_event(event_counter=5)
    reader = vesk.EventReader(write(data), "WD1")
    with pytest.raises(PanicException) as raised:
        next(reader)
    assert raised.value.args == ("capacity overflow",)
    assert not isinstance(raised.value, Exception)
    assert isinstance(raised.value, BaseException)
    assert next(reader)["event_counter"] == 5


@pytest.mark.parametrize("event_size", [0x80000000, 0x80000017, 0x7FFFFFFF])
def test_huge_claimed_size_in_short_file_ends_without_allocating(write, event_size):
    reader = vesk.EventReader(write(wd1_event([1, 2, 3], event_size=event_size)), "WD1")
    with pytest.raises(StopIteration):
        next(reader)


@pytest.mark.plain_memory
def test_huge_claimed_size_touches_no_memory(tmp_path):
    path = tmp_path / "claims-2GiB.wd1"
    path.write_bytes(wd1_event(event_size=0x80000000))
    result = run_python(f"""
        import resource, vesk, numpy
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(20):
            assert list(vesk.EventReader({str(path)!r}, "WD1")) == []
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(grown)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 50_000  # kB


def test_directory_raises_the_read_error_once_then_ends(tmp_path):
    reader = vesk.EventReader(str(tmp_path), "WD1")
    with pytest.raises(IsADirectoryError) as raised:
        next(reader)
    assert raised.value.args == ("Is a directory (os error 21)",)
    assert raised.value.errno is None
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(reader)


def test_payload_that_memory_cannot_hold_is_memory_error(tmp_path):
    # A pipe has no size to check a length against, so the allocation is really
    # attempted; with the address space capped it fails. The event is consumed
    # whole (read through and discarded), so the next step returns the next event.
    samples = 150_000_000
    data = tmp_path / "data"
    data.write_bytes(
        wd1_event(event_size=24 + 2 * samples) + bytes(2 * samples) + wd1_event([4], event_counter=7)
    )
    fifo = tmp_path / "fifo"
    result = run_python(f"""
        import os, resource, subprocess, vesk, numpy
        os.mkfifo({str(fifo)!r})
        writer = subprocess.Popen(["sh", "-c", "cat {data} > {fifo}"])
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        reader = vesk.EventReader({str(fifo)!r}, "WD1")
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (128 << 20), resource.RLIM_INFINITY))
        try:
            next(reader)
        except MemoryError as e:
            print("MemoryError", e.args)
        print(next(reader)["event_counter"])
        writer.wait()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError ()", "7"]
