"""vesk_arrays reading file objects, compressed files, and files that are still being written."""

import bz2
import gzip
import io
import lzma
import subprocess
import sys
import textwrap
import threading
import time
import zlib

import numpy as np
import pytest

import vesk_arrays as va
from wdfiles import wd1_event, wd2_event


def wd2_file(events=60):
    return b"".join(
        wd2_event(np.arange(6, dtype="f4") * i, counter=i, samples=3, channels=2, period=5)
        for i in range(events)
    )


def wd1_file(events=60):
    # Odd sizes included: the byte after the last sample belongs to the event.
    return b"".join(
        wd1_event([i, i + 1], event_size=28 + (i & 1), trailing=b"\x00" * (i & 1), event_counter=i)
        for i in range(events)
    )


FILES = {"WD1": wd1_file, "WD2": wd2_file}


def zstd_compress(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor().compress(data)


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
@pytest.mark.parametrize(
    "compress, suffix",
    [
        (gzip.compress, ".gz"),
        (lzma.compress, ".xz"),
        (bz2.compress, ".bz2"),
        (zstd_compress, ".zst"),
    ],
)
def test_compressed_files_are_recognised_by_their_first_bytes(tmp_path, fmt, compress, suffix):
    data = FILES[fmt]()
    path = tmp_path / ("run" + suffix)
    path.write_bytes(compress(data))
    plain = tmp_path / "run.bin"
    plain.write_bytes(data)
    expected, got = va.read(plain, fmt), va.read(path, fmt)
    assert len(got) == 60 and got.path == str(path)
    for key in got:
        np.testing.assert_array_equal(got[key], expected[key])
    with va.BatchReader(path, fmt) as reader:
        assert sum(len(b) for b in reader.batches(7)) == 60


@pytest.mark.parametrize("first_counter", [0x00088B1F, 0xFD2FB528, 0x39685A42], ids=["gzip", "zstd", "bz2"])
def test_a_plain_file_that_starts_like_a_compressed_one_is_read_as_it_is(write, first_counter):
    # A WD2 file starts with its event counter: these read as gzip, zstd and bz2 magic.
    counters = [first_counter + i for i in range(4)]
    data = b"".join(
        wd2_event(np.arange(6) * i, counter=c, samples=3, channels=2) for i, c in enumerate(counters)
    )
    assert va.read(write(data), "WD2")["event_counter"].tolist() == counters


def test_three_bytes_are_not_yet_bzip2s_magic(write):
    # bzip2's magic ends in the block size's digit: without it a file is read as it is.
    with va.BatchReader(write(b"BZh", name="run.bz2"), "WD1") as reader:
        assert len(reader.read(1)) == 0 and reader.trailing_bytes == 3


def zstd_decompressor():
    return pytest.importorskip("zstandard").ZstdDecompressor().decompressobj()


@pytest.mark.parametrize(
    "compress, decompressor",
    [
        (gzip.compress, lambda: zlib.decompressobj(wbits=31)),
        (lzma.compress, lzma.LZMADecompressor),
        (bz2.compress, bz2.BZ2Decompressor),
        (zstd_compress, zstd_decompressor),
    ],
    ids=["gzip", "xz", "bz2", "zstd"],
)
@pytest.mark.parametrize("damage", ["cut", "corrupt"])
@pytest.mark.filterwarnings("ignore::vesk_arrays.DamagedEventWarning")  # corrupt data may decode as such
def test_a_cut_or_corrupt_compressed_file_gives_its_whole_events_then_an_oserror(
    tmp_path, compress, decompressor, damage
):
    rng = np.random.default_rng(0)
    compressed = compress(b"".join(wd1_event(rng.integers(0, 4096, 8), event_counter=i) for i in range(1000)))
    half = len(compressed) // 2
    if damage == "cut":
        compressed = compressed[: len(compressed) * 95 // 100]
    else:
        compressed = compressed[:half] + bytes(200) + compressed[half + 200 :]
    path = tmp_path / "run.gz"
    path.write_bytes(compressed)
    pairs = list(va.iterate(path, "WD1", report=True, errors="skip"))
    counters = [c for batch, _ in pairs for c in batch["event_counter"].tolist()]
    # Cut: every whole event the decompressor gives (about 950 from gzip and xz, none from
    # a block format); corrupt: the events before the damage.
    whole = len(decompressor().decompress(compressed)) // 40 if damage == "cut" else len(counters)
    assert counters == list(range(whole))
    error = pairs[-1][1].error
    assert isinstance(error, OSError) and str(path) in str(error)
    if damage == "cut":  # with errors="raise": the same events, then the error
        given = []
        with pytest.raises(OSError) as raised:
            for batch in va.iterate(path, "WD1"):
                given += batch["event_counter"].tolist()
        assert given == counters and str(path) in str(raised.value)


def test_errors_of_a_file_object_propagate_and_name_it():
    class Failing(io.RawIOBase):
        name = "broken-source"

        def readable(self):
            return True

        def readinto(self, buffer):
            raise RuntimeError("the source broke")

    with pytest.raises(RuntimeError, match="the source broke"):
        va.read(Failing(), "WD1")
    with pytest.raises(OSError, match="broken-source"):
        va.read(_named(wd2_file(1)[:40]), "WD2")


def _named(data):
    stream = io.BytesIO(data)
    stream.name = "broken-source"
    return stream


def test_stdin_of_a_subprocess(tmp_path):
    path = tmp_path / "run.wd2"
    path.write_bytes(wd2_file())
    code = textwrap.dedent("""
        import sys, vesk_arrays
        batch = vesk_arrays.read(sys.stdin.buffer, "WD2")
        print(len(batch), batch.waveforms().shape)
    """)
    with open(path, "rb") as stdin:
        result = subprocess.run(
            [sys.executable, "-c", code], stdin=stdin, capture_output=True, text=True, timeout=60
        )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["60", "(60,", "2,", "3)"]


def test_following_a_growing_file_gives_every_event_once(tmp_path):
    data = wd1_file(400)
    path = tmp_path / "live.wd1"
    path.write_bytes(b"")

    def writer():
        with open(path, "ab") as f:
            for start in range(0, len(data), 333):
                f.write(data[start : start + 333])
                f.flush()
                time.sleep(0.002)

    thread = threading.Thread(target=writer)
    with va.BatchReader(path, "WD1", follow=True, poll_interval=0.01, timeout=0.5) as reader:
        thread.start()
        counters = [c for batch in reader.batches(50) for c in batch["event_counter"].tolist()]
    thread.join()
    assert counters == list(range(400))


def test_follow_ends_after_the_timeout_and_on_ctrl_c(tmp_path):
    path = tmp_path / "idle.wd1"
    path.write_bytes(wd1_file(3))
    start = time.monotonic()
    with va.BatchReader(path, "WD1", follow=True, poll_interval=0.05, timeout=0.3) as reader:
        assert sum(len(b) for b in reader.batches(10)) == 3
    assert 0.25 < time.monotonic() - start < 5
    code = textwrap.dedent(f"""
        import os, signal, threading, time, vesk_arrays
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            reader = vesk_arrays.BatchReader({str(path)!r}, "WD1", follow=True, poll_interval=10)
            for batch in reader.batches():
                pass
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - start))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "interrupted after 0", result.stderr


@pytest.mark.parametrize(
    "options, error",
    [
        ({"poll_interval": -1}, ValueError),
        ({"timeout": "soon"}, TypeError),
        ({"poll_interval": None}, TypeError),
    ],
)
def test_bad_follow_options(tmp_path, options, error):
    path = tmp_path / "f.wd1"
    path.write_bytes(wd1_file(1))
    with pytest.raises(error):
        va.BatchReader(path, "WD1", follow=True, **options)
    with pytest.raises(error):
        va.iterate([path], "WD1", follow=True, **options)


@pytest.mark.parametrize("channels", [None, 3])
@pytest.mark.parametrize("first", [1.0, 0.0, -2.0])
def test_a_one_event_wd2_stream_is_read_as_its_file_is(write, channels, first):
    data = wd2_event([first, 2.0, 3.0] * (channels or 1), counter=5, samples=3, period=2, channels=channels)
    by_path = va.read(write(data), "WD2")
    for stream in (io.BytesIO(data), gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(data)))):
        got = va.read(stream, "WD2")
        assert got["channels"].tolist() == by_path["channels"].tolist() == [channels or 1]
        np.testing.assert_array_equal(got.waveforms(), by_path.waveforms())


def test_a_wd2_file_whose_probe_overflows_is_reported_and_the_iteration_goes_on(write):
    bad = write(wd2_event(samples=2**31, channels=2**30) + bytes(40))
    good = write(wd2_file(3))
    pairs = list(va.iterate([bad, good], "WD2", errors="skip", report=True))
    assert isinstance(pairs[0][1].error, va.DamagedEventError) and sum(len(b) for b, _ in pairs) == 3
    with pytest.raises(va.DamagedEventError):
        list(va.iterate([bad, good], "WD2"))


def test_a_reader_whose_file_failed_is_collected(tmp_path):
    # The error a file object raised is kept with its traceback, whose frames hold the
    # reader: a cycle that only the garbage collector can break.
    import gc
    import weakref

    data = gzip.compress(wd1_file(2000))
    path = tmp_path / "cut.wd1.gz"
    path.write_bytes(data[: len(data) // 2])

    def read_until_it_fails():
        reader = va.BatchReader(path, "WD1")
        with pytest.raises(OSError):
            list(reader.batches(100))
        return weakref.ref(reader)

    gone = read_until_it_fails()
    gc.collect()
    assert gone() is None


class _Raw(io.RawIOBase):
    """A stream that can neither seek nor peek; `pause` answers None (no bytes ready yet)
    on every third read, as a non-blocking file does."""

    def __init__(self, data, pause=False):
        self._data, self._pause, self._reads = io.BytesIO(data), pause, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        self._reads += 1
        if self._pause and self._reads % 3 == 0:
            return None
        return self._data.readinto(memoryview(buffer)[:100])


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
@pytest.mark.parametrize("compress", [gzip.compress, lzma.compress, bz2.compress, zstd_compress, None])
@pytest.mark.parametrize("wrap", [io.BytesIO, lambda data: io.BufferedReader(_Raw(data)), _Raw])
def test_compressed_data_in_a_file_object_are_recognised(fmt, compress, wrap):
    data = FILES[fmt]()
    got = va.read(wrap(compress(data) if compress else data), fmt)
    assert got["event_counter"].tolist() == list(range(60))


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
def test_a_stream_with_no_bytes_ready_is_read_on(fmt):
    counters = []
    with va.BatchReader(_Raw(FILES[fmt](), pause=True), fmt) as reader:
        for _ in range(1000):
            try:
                batch = reader.read(7)
            except BlockingIOError:
                continue
            if not len(batch):
                break
            counters += batch["event_counter"].tolist()
    assert counters == list(range(60))
