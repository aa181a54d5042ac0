"""Live sources: FIFOs whose writer pauses, files still being written, reads that fail midway.

Whatever stops a read (a signal, a writer that has not written yet, a failed allocation, a
read error) must neither lose nor repeat nor make up an event: the reader either completes
the event or can read it whole later.

Tests that block on a FIFO or a terminal run in a fresh interpreter with a deadline, so that
a reader that never returns fails its test instead of hanging the suite.
"""

import errno
import json
import os
import shlex
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vesk
import vesk_arrays as va
from wdfiles import (
    SANITIZED,
    WD1_KEYS,
    WD2_KEYS,
    WRITE_FILES,
    assert_same_events,
    decode_wd1,
    decode_wd2,
    run_python,
    wd1_event,
    wd2_event,
)

TESTS = os.path.dirname(os.path.abspath(__file__))
KEYS = {"WD1": WD1_KEYS, "WD2": WD2_KEYS}
DTYPES = {"WD1": np.uint16, "WD2": np.float32}
DECODE = {"WD1": decode_wd1, "WD2": decode_wd2}
DEADLINE = 30  # seconds for a child that blocks on a FIFO; a hang fails the test

# Both APIs, each with the formats it can read from a FIFO: EventReader's WD2 probe rewinds,
# which a FIFO cannot do, so WD2 streams are read with vesk_arrays only.
FIFO_CASES = [("EventReader", "WD1"), ("BatchReader", "WD1"), ("BatchReader", "WD2")]

# For the children: a scratch folder, FIFOs with a writer that pauses, SIGINT on a timer,
# and either API as a `step` giving a list of [counter, samples] (empty at the end).
PRELUDE = """
    import json, os, signal, sys, tempfile, threading, time
    sys.path.insert(0, TESTS)
    import vesk, vesk_arrays

    folder = tempfile.mkdtemp()

    def make_fifo(name="fifo"):
        path = os.path.join(folder, name)
        os.mkfifo(path)
        return path

    class Writer(threading.Thread):
        # Opens the FIFO for writing, writes `first` and, with `rest` given (bytes, or an
        # iterable of them), holds the FIFO open without writing until resume().
        def __init__(self, path, first, rest=None):
            super().__init__(daemon=True)
            self.path, self.first, self.rest = path, first, rest
            self.resumed = threading.Event()
            self.resumed_at = None

        def resume(self):
            self.resumed_at = time.monotonic()
            self.resumed.set()

        def run(self):
            try:
                with open(self.path, "wb", buffering=0) as f:
                    f.write(self.first)
                    if self.rest is not None:
                        self.resumed.wait()
                        for block in [self.rest] if isinstance(self.rest, bytes) else self.rest:
                            f.write(block)
            except BrokenPipeError:
                pass  # the reader gave up; what it did is the test's to judge

    def interrupt_main(delay):
        # At the main thread itself: it is the one blocked in the read, and the one that
        # runs Python's signal handlers. Returns when the signal will be sent.
        sent = time.monotonic() + delay
        threading.Timer(delay, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()
        return sent

    def readers_of(path):
        # Descriptors of this process open for reading on `path`.
        count = 0
        for fd in os.listdir("/proc/self/fd"):
            try:
                if os.readlink(f"/proc/self/fd/{fd}") != path:
                    continue
                with open(f"/proc/self/fdinfo/{fd}") as info:
                    flags = int(info.read().split("flags:")[1].split()[0], 8)
            except OSError:
                continue  # closed meanwhile
            count += flags & os.O_ACCMODE == os.O_RDONLY
        return count

    def summary(event):
        return [event["event_counter"], event["data"].tolist()]

    def open_reader(api, path, fmt):
        if api == "EventReader":
            return vesk.EventReader(path, fmt)
        return vesk_arrays.BatchReader(path, fmt)

    def stepper(reader):
        if isinstance(reader, vesk.EventReader):
            def step():
                try:
                    return [summary(next(reader))]
                except StopIteration:
                    return []
        else:
            def step():
                batch = reader.read(10)
                return [summary(batch.event(i)) for i in range(len(batch))]
        return step

    def drain(step):
        got = []
        while True:
            more = step()
            if not more:
                return got
            got += more
""".replace("TESTS", repr(TESTS))


def run_child(code, **kwargs):
    """Runs PRELUDE + code; returns the JSON the child printed last."""
    if SANITIZED and "env" not in kwargs:
        # Children end with readers still blocked in other threads on purpose: what those
        # hold at exit is not a leak.
        kwargs["env"] = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    result = run_python(PRELUDE + code, timeout=DEADLINE, **kwargs)
    assert result.returncode == 0, result.stderr
    assert "panicked at" not in result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def fifo_events(fmt, count=5):
    """Events of a few hundred bytes each, every sample telling its event apart."""
    if fmt == "WD1":
        return [wd1_event(np.arange(100) + 1000 * i, event_counter=i, timestamp=7 * i) for i in range(count)]
    return [
        wd2_event(np.arange(60, dtype="f4") + 100 * i, counter=i, samples=20, channels=3, period=5)
        for i in range(count)
    ]


def summaries(data, fmt):
    return [[e["event_counter"], e["data"].tolist()] for e in DECODE[fmt](data)]


# Offsets into the paused event where the writer stops: before its first byte, inside its
# header, inside its samples (splitting a sample).
CUTS = {
    "at the event's start": lambda event: 0,
    "inside the header": lambda event: 10,
    "inside the samples": lambda event: len(event) // 2 + 1,
}


def cut_stream(fmt, cut):
    """(bytes, offset): five events, the writer pausing `cut` into the third."""
    events = fifo_events(fmt)
    data = b"".join(events)
    return data, len(events[0]) + len(events[1]) + CUTS[cut](events[2])


# ---- interrupts ------------------------------------------------------------------------


@pytest.mark.parametrize("cut", CUTS)
@pytest.mark.parametrize("api, fmt", FIFO_CASES)
def test_ctrl_c_ends_a_wait_for_a_silent_writer_and_loses_nothing(api, fmt, cut):
    data, offset = cut_stream(fmt, cut)
    out = run_child(f"""
    fifo = make_fifo()
    writer = Writer(fifo, {data[:offset]!r}, {data[offset:]!r})
    writer.start()
    step = stepper(open_reader({api!r}, fifo, {fmt!r}))
    got = []
    signalled = interrupt_main(0.15)
    try:
        while True:
            got += step()
    except KeyboardInterrupt:
        late = time.monotonic() - signalled
    before = len(got)
    writer.resume()
    got += drain(step)
    print(json.dumps({{"late": late, "before": before, "events": got}}))
    """)
    assert -0.05 < out["late"] < 1.0
    # The events whole before the pause were returned; a batch reader raises at once and
    # keeps those of the interrupted batch for the next call.
    assert out["before"] == (2 if api == "EventReader" else 0)
    assert out["events"] == summaries(data, fmt)  # the paused event came whole, once


@pytest.mark.parametrize("api, fmt", FIFO_CASES)
def test_handler_that_does_not_raise_lets_the_read_go_on(api, fmt):
    # The handler runs while the read waits, and the read then goes on waiting.
    data, offset = cut_stream(fmt, "inside the samples")
    out = run_child(f"""
    handled = []
    signal.signal(signal.SIGINT, lambda *args: handled.append(time.monotonic()))
    fifo = make_fifo()
    writer = Writer(fifo, {data[:offset]!r}, {data[offset:]!r})
    writer.start()
    step = stepper(open_reader({api!r}, fifo, {fmt!r}))
    interrupt_main(0.1)
    threading.Timer(0.35, writer.resume).start()
    got = drain(step)
    print(json.dumps({{"handled": len(handled), "in_time": bool(handled) and handled[0] < writer.resumed_at,
                       "events": got}}))
    """)
    assert out["handled"] == 1
    assert out["in_time"]  # ran during the wait, not once the data came
    assert out["events"] == summaries(data, fmt)


@pytest.mark.parametrize("blocked_in", ["open", "read"])
@pytest.mark.parametrize("api, fmt", FIFO_CASES)
def test_other_threads_run_while_a_reader_waits(api, fmt, blocked_in):
    # "open": no writer yet, so opening the FIFO waits; "read": the writer pauses mid-event.
    data, offset = cut_stream(fmt, "inside the samples")
    out = run_child(f"""
    ticks = [0]
    def tick():
        while True:
            ticks[0] += 1
            time.sleep(0.001)
    threading.Thread(target=tick, daemon=True).start()
    fifo = make_fifo()
    if {blocked_in!r} == "open":
        writer = Writer(fifo, {data!r})
        threading.Timer(0.5, writer.start).start()
        started, ticked = time.monotonic(), ticks[0]
        step = stepper(open_reader({api!r}, fifo, {fmt!r}))
        got = []
    else:
        writer = Writer(fifo, {data[:offset]!r}, {data[offset:]!r})
        writer.start()
        step = stepper(open_reader({api!r}, fifo, {fmt!r}))
        got = step() + step() if {api!r} == "EventReader" else []
        threading.Timer(0.5, writer.resume).start()
        started, ticked = time.monotonic(), ticks[0]
        got += step()
    waited, ticked = time.monotonic() - started, ticks[0] - ticked
    got += drain(step)
    print(json.dumps({{"waited": waited, "ticks": ticked, "events": got}}))
    """)
    assert out["waited"] >= 0.4  # it did wait...
    assert out["ticks"] > 50  # ...and the ticking thread went on meanwhile
    assert out["events"] == summaries(data, fmt)


@pytest.mark.parametrize(
    "api, fmt, waiting_for",
    [
        *((api, fmt, "a writer") for api, fmt in FIFO_CASES),
        ("BatchReader", "WD2", "the layout"),  # only a WD2 probe reads before the reader exists
    ],
)
def test_ctrl_c_ends_a_construction_that_waits(api, fmt, waiting_for):
    # Opening a FIFO with no writer waits in open; a WD2 stream's probe waits for its
    # second event. Interrupted, the construction closes what it opened, and a new one
    # reads the stream.
    data = b"".join(fifo_events(fmt))
    first = len(fifo_events(fmt)[0]) + 10
    out = run_child(f"""
    fifo = make_fifo()
    if {waiting_for!r} == "the layout":
        Writer(fifo, {data[:first]!r}, b"").start()
    signalled = interrupt_main(0.15)
    try:
        open_reader({api!r}, fifo, {fmt!r})
        late = None
    except KeyboardInterrupt:
        late = time.monotonic() - signalled
    leaked = readers_of(fifo)
    fifo = make_fifo("second")
    Writer(fifo, {data!r}).start()
    reader = open_reader({api!r}, fifo, {fmt!r})
    seen = readers_of(fifo)
    got = drain(stepper(reader))
    print(json.dumps({{"late": late, "leaked": leaked, "seen": seen, "events": got}}))
    """)
    assert out["late"] is not None and -0.05 < out["late"] < 1.0
    assert out["seen"] == 1 and out["leaked"] == 0  # the interrupted one closed its descriptor
    assert out["events"] == summaries(data, fmt)


def test_second_step_while_one_waits_is_refused():
    data, offset = cut_stream("WD1", "inside the samples")
    out = run_child(f"""
    fifo = make_fifo()
    writer = Writer(fifo, {data[:offset]!r}, {data[offset:]!r})
    writer.start()
    reader = vesk.EventReader(fifo, "WD1")
    got = [summary(next(reader)), summary(next(reader))]
    refused = []
    def meddle():
        time.sleep(0.15)  # the main thread waits in next() by now
        for attempt in (lambda: next(reader), lambda: iter(reader)):
            try:
                attempt()
                refused.append("not refused")
            except RuntimeError as e:
                refused.append(str(e))
        writer.resume()
    threading.Thread(target=meddle).start()
    got += [summary(event) for event in reader]
    print(json.dumps({{"refused": refused, "events": got}}))
    """)
    assert out["refused"] == ["Already borrowed", "Already mutably borrowed"]
    assert out["events"] == summaries(data, "WD1")


def test_batch_cut_short_by_ctrl_c_keeps_its_events():
    # read(10) has two events when the signal comes: they are returned (now, or the
    # interrupt is raised first and they come next) and none is read twice.
    data, offset = cut_stream("WD2", "inside the header")
    out = run_child(f"""
    fifo = make_fifo()
    writer = Writer(fifo, {data[:offset]!r}, {data[offset:]!r})
    writer.start()
    reader = vesk_arrays.BatchReader(fifo, "WD2")
    calls, got = [], []
    interrupt_main(0.15)
    while "KeyboardInterrupt" not in calls:
        try:
            batch = reader.read(10)
            calls.append(len(batch))
            got += [summary(batch.event(i)) for i in range(len(batch))]
        except KeyboardInterrupt:
            calls.append("KeyboardInterrupt")
    writer.resume()
    got += drain(stepper(reader))
    print(json.dumps({{"calls": calls, "events": got}}))
    """)
    assert out["calls"] in ([2, "KeyboardInterrupt"], ["KeyboardInterrupt"])
    assert out["events"] == summaries(data, "WD2")


@pytest.mark.parametrize(
    "how, prefetch",
    [("read", 0), ("read", 1), ("batches", 0), ("batches", 1)],
)
def test_handler_raising_while_a_batch_is_filled_keeps_the_batch(tmp_path, how, prefetch):
    # The signal comes while the lock is released for a fill that no system call
    # interrupts: the handler's exception is raised when the call ends, and the batch filled
    # meanwhile comes with the next call, each event once.
    words = np.zeros((2_000_000, 8), "<u4")  # WD1 events of 4 samples
    words[:, 0], words[:, 4] = 32, np.arange(len(words))
    path = tmp_path / "many.wd1"
    path.write_bytes(words.tobytes())
    out = run_child(f"""
    import numpy as np
    def interrupt(*args):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, interrupt)
    reader = vesk_arrays.BatchReader({str(path)!r}, "WD1", prefetch={prefetch})
    def calls():
        if {how!r} == "read":
            while True:
                batch = reader.read(10**8)
                if not len(batch):
                    return
                yield batch
        yield from reader.batches(1_000_000)
    got, interrupted = [], []
    while True:
        if len(interrupted) < {1 if how == "read" else 2}:
            signal.setitimer(signal.ITIMER_REAL, 0.002)
        try:
            for batch in calls():
                got.append(batch["event_counter"])
            signal.setitimer(signal.ITIMER_REAL, 0)  # not after the reading
            break
        except KeyboardInterrupt:
            interrupted.append([reader.events_read, sum(map(len, got))])
    counters = np.concatenate(got)
    print(json.dumps({{"whole": bool((counters == np.arange(2_000_000)).all()), "interrupted": interrupted}}))
    """)
    assert out["whole"]
    # The second signal of `batches` may come after a batch read ahead has ended the file.
    assert 1 <= len(out["interrupted"]) <= (1 if how == "read" else 2)
    assert all(read == returned for read, returned in out["interrupted"]), out


# ---- a WD2 read error inside an event ----------------------------------------------------


@pytest.mark.parametrize("cut", CUTS)
def test_read_error_inside_a_wd2_event_rereads_it_whole(cut):
    # A terminal refuses reads from a background process group with EIO (SIGTTIN
    # ignored), and reads again once the group is in the foreground: a read error
    # that goes away, inside an event read from a stream.
    try:
        os.close(os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY))
    except OSError as e:
        pytest.skip(f"no pseudo-terminals here: {e}")
    data, offset = cut_stream("WD2", cut)
    out = run_child(
        f"""
    import fcntl, subprocess, termios, tty
    master, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)  # the child leads a new session
    tty.setraw(terminal)  # bytes pass unchanged
    signal.signal(signal.SIGTTIN, signal.SIG_IGN)
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    os.write(master, {data[:offset]!r})
    reader = vesk_arrays.BatchReader(os.ttyname(terminal), "WD2")
    got = [summary(reader.read(1).event(0)) for _ in range(2)]
    foreground = subprocess.Popen(["sleep", "60"], preexec_fn=os.setpgrp)
    os.tcsetpgrp(terminal, foreground.pid)
    errors = []
    for _ in range(2):  # a retry while the error lasts fails the same way
        try:
            reader.read(1)
            errors.append("no error")
        except OSError as e:
            errors.append(e.errno)
    os.tcsetpgrp(terminal, os.getpgrp())
    foreground.kill()
    os.write(master, {data[offset:]!r})
    batch = reader.read(3)  # exactly the events left: a terminal never ends
    got += [summary(batch.event(i)) for i in range(len(batch))]
    print(json.dumps({{"errors": errors, "events": got}}))
    """,
        start_new_session=True,
    )
    assert out["errors"] == [errno.EIO] * 2
    assert out["events"] == summaries(data, "WD2")


# ---- allocations that fail ----------------------------------------------------------------


def sparse_file(path, parts):
    """Writes bytes parts, and ints as holes of that many zero bytes (no disk used)."""
    with open(path, "wb") as f:
        for part in parts:
            if isinstance(part, int):
                f.seek(part, os.SEEK_CUR)
            else:
                f.write(part)


def huge_event_file(path, fmt):
    """Events 0, 1, a third whose samples (300 MB) cannot be allocated under the cap, 3 and 4;
    returns [counter, samples] of the small ones."""
    if fmt == "WD1":
        samples = [[i, 2 * i, 3 * i] for i in range(5)]
        small = [wd1_event(samples[i], event_counter=i) for i in range(5)]
        payload = 300_000_000
        huge = wd1_event(event_size=24 + payload, event_counter=2)
    else:
        samples = [[float(v) for v in range(10 * i, 10 * i + 6)] for i in range(5)]
        small = [wd2_event(samples[i], counter=i, samples=3, channels=2, period=9) for i in range(5)]
        payload = 40_000_000 * 2 * 4
        huge = wd2_event(b"", counter=2, samples=40_000_000, channels=2, period=9)
    sparse_file(path, [small[0], small[1], huge, payload, small[3], small[4]])
    return [[i, samples[i]] for i in (0, 1, 3, 4)]


@pytest.mark.parametrize(
    "api, fmt, source",
    [
        ("EventReader", "WD1", "file"),  # (a WD1 FIFO read by EventReader is in test_wd1.py)
        ("EventReader", "WD2", "file"),
        ("BatchReader", "WD1", "file"),
        ("BatchReader", "WD1", "FIFO"),
        ("BatchReader", "WD2", "file"),
        ("BatchReader", "WD2", "FIFO"),
    ],
)
def test_event_that_memory_cannot_hold_is_consumed_whole(tmp_path, api, fmt, source):
    path = tmp_path / "huge.bin"
    small = huge_event_file(path, fmt)
    fifo = tmp_path / "fifo"
    out = run_child(f"""
    import resource, subprocess, numpy
    path = {str(path)!r}
    if {source!r} == "FIFO":
        os.mkfifo({str(fifo)!r})
        subprocess.Popen(["sh", "-c", {f"cat {shlex.quote(str(path))} > {shlex.quote(str(fifo))}"!r}])
        path = {str(fifo)!r}
    reader = open_reader({api!r}, path, {fmt!r})
    step = stepper(reader)
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (128 << 20), resource.RLIM_INFINITY))
    got = []
    for _ in range(20):
        try:
            more = step()
        except MemoryError:
            got.append("MemoryError")
            continue
        if not more:
            break
        got += more
    print(json.dumps(got))
    """)
    assert out == [small[0], small[1], "MemoryError", small[2], small[3]]


# ---- following a file that is being written ----------------------------------------------

WRITER = """
import sys, time
source, target, start, block = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
with open(source, "rb") as f:
    data = f.read()
with open(target, "ab", buffering=0) as f:
    for offset in range(start, len(data), block):
        f.write(data[offset:offset + block])
        time.sleep(0.001)
"""


def growing_file_data(layout, block, rng):
    """(bytes, fmt, bytes the reader needs before it can be made): dozens of blocks' worth."""
    size = max(40 * block, 6000)
    events = []
    if layout.startswith("WD1"):
        # Odd event sizes carry one byte of padding after the samples. Runs of events of
        # one size are read in one go by batches: "equal events" are all one run.
        equal = layout == "WD1 equal events"
        while sum(map(len, events)) < size:
            events.append(
                wd1_event(
                    rng.integers(0, 65536, 200 if equal else rng.integers(0, 60)),
                    event_counter=len(events),
                    timestamp=int(rng.integers(2**31)),
                    trailing=b"\x5a" if not equal and rng.random() < 0.4 else b"",
                )
            )
        return b"".join(events), "WD1", 0
    channels = None if layout == "WD2 single-channel" else 3
    while sum(map(len, events)) < size:
        i = len(events)
        if layout == "WD2 equal events":
            n = 30
        else:
            n = 8 if i < 2 else int(rng.integers(0, 20))  # the probe wants the first two alike
        values = rng.standard_normal(n * (channels or 1)).astype("f4")
        if i == 0:
            values[0] = 1.5  # as a channel count, far too many for the multi-channel reading to hold
        events.append(
            wd2_event(values, counter=i, timestamp=i * 1000, samples=n, channels=channels, period=200)
        )
    # The layout cannot be told before the first two events are there.
    return b"".join(events), "WD2", len(events[0]) + len(events[1])


@pytest.mark.parametrize("block", [4096, 37])
@pytest.mark.parametrize(
    "api, layout",
    [
        *(
            (api, layout)
            for api in ("EventReader", "BatchReader")
            for layout in ("WD1", "WD2 multi-channel", "WD2 single-channel")
        ),
        ("BatchReader", "WD1 equal events"),
        ("BatchReader", "WD2 equal events"),
    ],
)
def test_file_being_written_is_read_event_by_event_once(tmp_path, layout, api, block):
    rng = np.random.default_rng(block + len(layout))
    data, fmt, ready = growing_file_data(layout, block, rng)
    source, path = tmp_path / "source", tmp_path / "live"
    source.write_bytes(data)
    path.write_bytes(data[:ready])
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(source), str(path), str(ready), str(block)])
    try:
        if api == "EventReader":
            reader = vesk.EventReader(str(path), fmt)

            def drain():
                return list(reader)
        else:
            reader = va.BatchReader(path, fmt)

            def drain():
                got = []
                while len(batch := reader.read(7)):
                    got += [batch.event(i) for i in range(len(batch))]
                return got

        got, passes = [], 0
        while True:
            finished = writer.poll() is not None
            got += drain()
            passes += 1
            if finished:
                break
            time.sleep(0.002)
        assert drain() == []  # nothing more once all is read
        assert passes > 3  # the reader did meet the file unfinished
        assert_same_events(got, DECODE[fmt](data), KEYS[fmt], DTYPES[fmt])
        if api == "BatchReader":
            assert reader.position == len(data)
            reader.close()
    finally:
        writer.kill()
        writer.wait()


# ---- NumPy's first import, interrupted ----------------------------------------------------


@pytest.mark.parametrize("raised", ["KeyboardInterrupt()", "SystemExit(3)"])
@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
def test_interrupted_numpy_import_is_raised_as_is_and_consumes_nothing(fmt, raised):
    # Ctrl-C during the step that first imports NumPy: the step ends with that very
    # exception (not an internal fault), and the event is read at the next step.
    result = run_python(
        WRITE_FILES
        + f"""
    import struct, sys
    def event(counter):
        if {fmt!r} == "WD1":
            return struct.pack("<6i", 28, 0, 0, 0, counter, 0) + struct.pack("<2H", 1, 2)
        return struct.pack("<IQIQ", counter, 0, 1, 0) + struct.pack("<f", 1.5)
    import vesk
    reader = vesk.EventReader(write("a", event(0) + event(1)), {fmt!r})
    assert "numpy" not in sys.modules
    class Interrupt:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy":
                sys.meta_path.remove(self)  # once
                raise {raised}
    sys.meta_path.insert(0, Interrupt())
    try:
        next(reader)
        print("no exception")
    except BaseException as e:
        print(type(e).__name__, e.args)
    print([event["event_counter"] for event in reader])
    """,
        timeout=DEADLINE,
    )
    assert result.returncode == 0, result.stderr
    name, args = raised.rstrip(")").split("(")
    assert result.stdout.splitlines() == [f"{name} ({args + ',' if args else ''})", "[0, 1]"]
    assert "panicked at" not in result.stderr
    assert result.stderr == ""


# ---- the WD2 layout probe ------------------------------------------------------------------


def fifo_with(tmp_path, data):
    """A FIFO a thread writes `data` into (whatever the reader does with it)."""
    path = tmp_path / "fifo"
    os.mkfifo(path)

    def write():
        try:
            path.write_bytes(data)
        except BrokenPipeError:
            pass

    threading.Thread(target=write, daemon=True).start()
    return path


def read_events(api, path, fmt):
    """Every event, and the layout: (has_channel_field, channel_count) where the API tells it."""
    if api == "EventReader":
        return list(vesk.EventReader(str(path), fmt)), None
    with va.BatchReader(path, fmt) as reader:
        batch = reader.read(1000)
        return [batch.event(i) for i in range(len(batch))], (reader.has_channel_field, reader.channel_count)


PROBE_SOURCES = [("EventReader", "file"), ("BatchReader", "file"), ("BatchReader", "FIFO")]


@pytest.mark.parametrize("values", [[0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 2.5, -1.0, 0.0, 7.0]])
@pytest.mark.parametrize("api, source", PROBE_SOURCES)
def test_single_sample_events_starting_with_zeros_are_single_channel(tmp_path, write, api, source, values):
    # With one sample per event, +0.0 samples read as a channel field of 0 make a
    # consistent multi-channel reading too; it would lose every sample.
    data = b"".join(wd2_event([v], counter=40 + i, timestamp=3 * i, period=400) for i, v in enumerate(values))
    path = write(data) if source == "file" else fifo_with(tmp_path, data)
    events, layout = read_events(api, path, "WD2")
    assert layout in (None, (False, 1))
    assert [(e["samples"], e["channels"], len(e["data"])) for e in events] == [(1, 1, 1)] * len(values)
    assert_same_events(events, decode_wd2(data), WD2_KEYS, np.float32)


@pytest.mark.parametrize("api", ["EventReader", "BatchReader"])
def test_lone_header_of_no_samples_is_one_empty_event(write, api):
    data = struct.pack("<IQIQ", 9, 2**40 + 5, 0, 400)
    events, layout = read_events(api, write(data), "WD2")
    assert layout in (None, (False, 1))
    assert len(events) == 1
    assert [events[0][k] for k in WD2_KEYS[:-1]] == [9, 2**40 + 5, 0, 400, 1]
    assert events[0]["data"].dtype == np.float32 and events[0]["data"].shape == (0,)


@pytest.mark.parametrize(
    "data",
    [struct.pack("<IQIQ", 9, 0, 1, 400), struct.pack("<IQIQ", 9, 0, 0, 400) + b"\0"],
    ids=["announcing samples", "and one more byte"],
)
@pytest.mark.parametrize("api", ["EventReader", "BatchReader"])
def test_lone_header_otherwise_cannot_be_told(write, api, data):
    assert decode_wd2(data) is None
    if api == "EventReader":
        with pytest.raises(OSError):
            read_events(api, write(data), "WD2")
    else:  # shorter than a header with the channel field: no events, every byte trailing
        with va.BatchReader(write(data), "WD2") as reader:
            assert len(reader.read(5)) == 0 and reader.trailing_bytes == len(data)


@pytest.mark.parametrize("samples, channels", [(2**20, 100), (2**26, 2), (2**16, 1025)])
def test_stream_whose_first_event_is_too_large_to_keep_is_refused(tmp_path, samples, channels):
    data = wd2_event(bytes(1000), samples=samples, channels=channels)
    with pytest.raises(OSError) as raised:
        va.BatchReader(fifo_with(tmp_path, data), "WD2")
    assert f" {28 + samples * channels * 4} bytes" in str(raised.value)


@pytest.mark.parametrize("count", [2, 10])
@pytest.mark.parametrize("samples", [1, 3, 64])
def test_single_channel_stream_starting_with_one_is_read(tmp_path, samples, count):
    # 1.0 read as a channel field is 1065353216 channels: a first event far beyond what a
    # stream may keep, yet the second 24-byte header tells the single-channel layout.
    data = b"".join(
        wd2_event(np.r_[1.0, np.arange(samples - 1) + i], counter=i, timestamp=i, period=80)
        for i in range(count)
    )
    assert struct.unpack_from("<i", data, 24)[0] == 1065353216
    events, layout = read_events("BatchReader", fifo_with(tmp_path, data), "WD2")
    assert layout == (False, 1)
    assert_same_events(events, decode_wd2(data), WD2_KEYS, np.float32)


@pytest.mark.parametrize("api, fmt", FIFO_CASES)
def test_ctrl_c_while_an_event_memory_cannot_hold_is_read_through(api, fmt):
    # A stream has to read such an event's samples through to get past them; a Ctrl-C
    # while the writer pauses inside them must not leave the reader there, taking
    # samples for headers: what follows is the next event, after at most one more
    # MemoryError for the event itself.
    samples = 80_000_000  # 160 MB (WD1) or 320 MB (WD2), far beyond the cap
    if fmt == "WD1":
        events = [wd1_event([5, 6], event_counter=i) for i in (0, 1, 3)]
        huge = wd1_event(event_size=24 + 2 * samples, event_counter=2)
        payload = 2 * samples
    else:
        events = [wd2_event([5.0, 6.0], counter=i, samples=1, channels=2) for i in (0, 1, 3)]
        huge = wd2_event(b"", counter=2, samples=samples // 2, channels=2)
        payload = 4 * samples
    out = run_child(f"""
    import resource, numpy
    fifo = make_fifo()
    head = {events[0] + events[1] + huge!r} + bytes(1 << 20)
    rest = {payload!r} - (1 << 20)
    class Rest:  # the samples still to come, then the last event, without holding them all
        def __iter__(self):
            left, block = rest, bytes(1 << 22)
            while left:
                yield block[:min(left, len(block))]
                left -= min(left, len(block))
            yield {events[2]!r}
    writer = Writer(fifo, head, b"")
    writer.start()
    reader = open_reader({api!r}, fifo, {fmt!r})
    step = stepper(reader)
    if {api!r} == "EventReader":
        got = step() + step()
    else:  # no further: the huge event must be met under the cap
        batch = reader.read(2)
        got = [summary(batch.event(i)) for i in range(len(batch))]
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), resource.RLIM_INFINITY))
    interrupt_main(0.3)
    outcomes = []
    try:
        got += step()
    except MemoryError:
        outcomes.append("MemoryError")
    except KeyboardInterrupt:
        outcomes.append("KeyboardInterrupt")
    writer.rest = Rest()
    writer.resume()
    for _ in range(5):
        try:
            more = step()
        except MemoryError:
            outcomes.append("MemoryError")
            continue
        except BaseException as e:
            outcomes.append(type(e).__name__)
            continue
        if not more:
            break
        outcomes += [counter for counter, _ in more]
    print(json.dumps({{"before": got, "after": outcomes}}))
    """)
    assert [counter for counter, _ in out["before"]] == [0, 1]
    assert out["after"] in (["KeyboardInterrupt", 3], ["KeyboardInterrupt", "MemoryError", 3])


def test_ctrl_c_ends_a_wait_for_a_reader_busy_in_another_thread(tmp_path):
    # Thread A waits inside read() on a silent FIFO; the main thread's read() waits for
    # A's call to finish, and must still end promptly on Ctrl-C.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    result = run_python(
        f"""
        import os, signal, threading, time, vesk_arrays
        go = threading.Event()
        def writer():
            with open({str(fifo)!r}, "wb", buffering=0) as f:
                go.wait()
        threading.Thread(target=writer, daemon=True).start()
        reader = vesk_arrays.BatchReader({str(fifo)!r}, "WD1")
        threading.Thread(target=reader.read, args=(10,), daemon=True).start()
        time.sleep(0.2)
        threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()
        start = time.monotonic()
        try:
            reader.read(10)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 1.5)
        go.set()
    """,
        timeout=30,
    )
    assert result.stdout.strip() == "interrupted True", result.stderr
