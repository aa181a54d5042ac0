"""Writers of WD1 and WD2 events (byte by byte, for damaged files, and whole files through
vesk_arrays.write), small reference decoders, and the other helpers the tests share.

The reference decoders are deliberately naive: whole-file, struct-based, one
event at a time. Where vesk's answer is not an event they record a marker
("fault" for an internal fault) so that a whole iteration can be compared.
"""

import os
import struct
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

FAULT = "fault"

# Set by the sanitizer run: ASan's quarantine keeps freed memory mapped, so
# figures of resident memory mean nothing there.
SANITIZED = os.environ.get("VESK_SANITIZED") == "1"

WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "data"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]


def assert_same_events(actual, expected, keys, dtype):
    """vesk's events (or FAULT markers) equal the reference's; samples compared bit for bit."""
    assert len(actual) == len(expected)
    bits = f"<u{np.dtype(dtype).itemsize}"
    for got, want in zip(actual, expected):
        if want == FAULT:
            assert got == FAULT
            continue
        assert list(got) == keys
        assert [got[k] for k in keys[:-1]] == [want[k] for k in keys[:-1]]
        assert got["data"].dtype == dtype
        np.testing.assert_array_equal(got["data"].view(bits), want["data"].view(bits))


def assert_same_wd1(actual, expected):
    assert_same_events(actual, expected, WD1_KEYS, np.uint16)


def assert_same_wd2(actual, expected):
    assert_same_events(actual, expected, WD2_KEYS, np.float32)


def collect(reader, panic):
    """Iterates to the end, recording FAULT for each internal fault (an exception of class `panic`)."""
    out = []
    while True:
        try:
            out.append(next(reader))
        except StopIteration:
            return out
        except panic:
            out.append(FAULT)


def fault_class():
    """The process-wide PanicException class, obtained by provoking a fault."""
    import vesk

    with tempfile.NamedTemporaryFile(suffix=".wd1") as f:
        f.write(wd1_event(event_size=22))
        f.flush()
        try:
            next(vesk.EventReader(f.name, "WD1"))
        except BaseException as e:  # PanicException derives from BaseException only
            return type(e)
    raise AssertionError("no fault raised")


# For code run by run_python: a scratch folder, and write(name, data) -> path.
WRITE_FILES = """
    import os, tempfile
    folder = tempfile.mkdtemp()
    def write(name, data):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path
"""


def run_python(code, timeout=120, **kwargs):
    """Runs code (dedented) in a fresh interpreter; returns the CompletedProcess.

    A code that may block for ever (reading a FIFO, say) is given a short timeout:
    subprocess.TimeoutExpired then fails the test instead of hanging the suite."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def files_open_under(folder):
    """The paths under `folder` that this process holds open.

    Unlike a count of all descriptors, not disturbed by threads that other tests left
    behind (Dask's, say) opening and closing files of their own.
    """
    folder = os.path.join(os.path.realpath(folder), "")
    opened = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # closed meanwhile, or the listing's own descriptor
            continue
        if target.startswith(folder):
            opened.append(target)
    return opened


def rss():
    """Resident memory of this process in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def u32(value):
    return value & 0xFFFFFFFF


def s32(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def wd1_event(
    samples=(),
    *,
    event_size=None,
    board_id=0,
    pattern=0,
    board_channel=0,
    event_counter=0,
    timestamp=0,
    trailing=b"",
):
    """One WD1 event; event_size defaults to the bytes actually written."""
    payload = np.asarray(samples, dtype="<u2").tobytes() + trailing
    size = 24 + len(payload) if event_size is None else event_size
    words = (size, board_id, pattern, board_channel, event_counter, timestamp)
    return struct.pack("<6I", *(u32(w) for w in words)) + payload


def wd2_event(data=(), *, counter=0, timestamp=0, samples=None, period=0, channels=None):
    """One WD2 event; with `channels` given, the 28-byte multi-channel header."""
    payload = np.asarray(data, dtype="<f4").tobytes() if not isinstance(data, bytes) else data
    if samples is None:
        samples = len(payload) // 4 // (channels if channels else 1)
    header = struct.pack("<IQIQ", u32(counter), timestamp, u32(samples), period)
    if channels is not None:
        header += struct.pack("<I", u32(channels))
    return header + payload


def batch_of(reader_type, events, **options):
    """A vesk_arrays.Batch of events given as dicts of "data" and any header fields: the
    others are 0, but for the sizes (WD1 event_size, WD2 samples per channel) which follow
    from the data, WD2 channels (1) and event_counter (the event's position)."""
    import vesk_arrays
    from vesk_arrays._batch import HEADER_FIELDS, SAMPLE_DTYPES

    data = [np.asarray(event.get("data", ()), SAMPLE_DTYPES[reader_type]) for event in events]
    columns = {}
    for name, dtype in HEADER_FIELDS[reader_type]:
        defaults = {
            "event_size": [24 + 2 * len(d) for d in data],
            "event_counter": range(len(events)),
            "channels": [1] * len(events),
        }.get(name, [0] * len(events))
        if name == "samples":
            defaults = [len(d) // max(e.get("channels", 1), 1) for d, e in zip(data, events)]
        columns[name] = np.array([event.get(name, d) for event, d in zip(events, defaults)], dtype)
    columns["data"] = np.concatenate(data) if data else np.empty(0, SAMPLE_DTYPES[reader_type])
    offsets = np.cumsum([0] + [len(d) for d in data])
    return vesk_arrays.Batch(reader_type, columns, offsets, **options)


def file_bytes(reader_type, events, layout=None):
    """The bytes of a WD1 or WD2 file of events given as for batch_of, written by vesk_arrays.write."""
    import io

    import vesk_arrays

    out = io.BytesIO()
    vesk_arrays.write(out, batch_of(reader_type, events), reader_type, layout=layout)
    return out.getvalue()


def decode_wd1(data):
    """What iterating a WD1 file must give: event dicts (data as uint16 arrays) and FAULT markers."""
    out, pos, end = [], 0, len(data)
    while pos + 24 <= end:
        words = struct.unpack_from("<6i", data, pos)
        pos += 24
        difference = s32(words[0] - 24)
        count = int(difference / 2)  # truncates toward zero
        if count < 0:
            out.append(FAULT)
            continue
        if pos + 2 * count > end:
            break
        samples = np.frombuffer(data, "<u2", count, pos)
        pos += 2 * count
        if words[0] >= 25 and words[0] % 2:
            pos += 1
        out.append(dict(zip(WD1_KEYS, [*words, samples])))
    return out


def _wd2_header(data, pos, with_channels):
    size = 28 if with_channels else 24
    if pos + size > len(data):
        return None
    counter, timestamp, samples, period = struct.unpack_from("<IQIQ", data, pos)
    channels = struct.unpack_from("<i", data, pos + 24)[0] if with_channels else None
    return counter, timestamp, samples, period, channels


def _wd2_length(samples, channels):
    return (samples * (channels & 0xFFFFFFFFFFFFFFFF) * 4) & 0xFFFFFFFFFFFFFFFF


def _follows(first, second):
    """The second header continues the first: a counter that rises (by less than half the
    32-bit range, wrapping), the same period; its length may differ."""
    return 0 < (second[0] - first[0]) & 0xFFFFFFFF < 1 << 31 and second[3] == first[3]


def _single_channel_consistent(data, first):
    s1 = first[2]
    single_end = 24 + 4 * s1
    if len(data) == single_end:
        return True
    second = _wd2_header(data, single_end, False)
    return second is not None and _follows(first, second)


def probe_wd2(data):
    """(has_channel_field, channel_count), FAULT, or None when the file cannot be opened."""
    first = _wd2_header(data, 0, True)
    if first is None:
        # One header announcing no samples is one single-channel event.
        if len(data) == 24 and struct.unpack_from("<I", data, 12)[0] == 0:
            return False, 1
        return None
    k1 = first[4]
    skip = _wd2_length(first[2], k1)
    if skip < 1 << 63:
        second = _wd2_header(data, 28 + skip, True)
        if second is not None:
            if _follows(first, second) and second[4] == k1:
                # A channel count of 0 or less loses every sample: where the
                # single-channel reading holds too, it wins.
                if k1 <= 0 and _single_channel_consistent(data, first):
                    return False, 1
                return True, k1
            return False, 1
    if k1 >= 1 and len(data) == 28 + skip:
        return True, k1
    if _single_channel_consistent(data, first):
        return False, 1
    return FAULT if skip >= 1 << 63 else None


def decode_wd2(data):
    """What iterating a WD2 file must give, or the probe's failure (None or FAULT)."""
    layout = probe_wd2(data)
    if layout in (None, FAULT):
        return layout
    with_channels, channel_count = layout
    out, pos = [], 0
    while True:
        header = _wd2_header(data, pos, with_channels)
        if header is None:
            return out
        counter, timestamp, samples, period, channels = header
        pos += 28 if with_channels else 24
        length = _wd2_length(samples, channel_count)
        if length >= 1 << 63:
            out.append(FAULT)
            continue
        if pos + length > len(data):
            return out
        values = np.frombuffer(data, "<f4", length // 4, pos)
        pos += length
        out.append(
            dict(
                zip(
                    WD2_KEYS,
                    [
                        counter,
                        timestamp,
                        samples,
                        period,
                        channels if with_channels else channel_count,
                        values,
                    ],
                )
            )
        )
