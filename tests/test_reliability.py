"""Long runs over good and bad paths, and readers used from several threads."""

import textwrap

import pytest

import vesk
from wdfiles import SANITIZED, open_fds, rss, run_python, wd1_event, wd2_event


def test_ten_thousand_readers_leave_descriptors_and_memory_flat(tmp_path, PanicException):
    good1 = tmp_path / "good.wd1"
    good1.write_bytes(b"".join(wd1_event(range(64), event_counter=i) for i in range(4)))
    bad1 = tmp_path / "bad.wd1"
    bad1.write_bytes(wd1_event(range(8)) + wd1_event(event_size=22) + wd1_event(range(64))[:-5])
    good2 = tmp_path / "good.wd2"
    good2.write_bytes(b"".join(wd2_event(range(32), counter=i, channels=2) for i in range(4)))
    bad2 = tmp_path / "bad.wd2"
    bad2.write_bytes(wd2_event(range(4), counter=1, channels=-1) + b"\0" * 30)
    cases = [
        (good1, "WD1"),
        (bad1, "WD1"),
        (good2, "WD2"),
        (bad2, "WD2"),
        (good1, "WD9"),
        (tmp_path / "missing", "WD1"),
        (tmp_path, "WD1"),
        (tmp_path, "WD2"),
    ]

    def drain(path, kind):
        try:
            reader = vesk.EventReader(str(path), kind)
        except (OSError, ValueError, PanicException):
            return
        while True:
            try:
                next(reader)
            except StopIteration:
                return
            except (OSError, PanicException):
                pass

    def run_all():
        for path, kind in cases:
            drain(path, kind)

    for _ in range(500):  # warm up allocator pools and caches
        run_all()
    fds, memory = open_fds(), rss()
    for _ in range(10_000):
        run_all()
    assert open_fds() == fds
    if not SANITIZED:
        assert rss() - memory < 2 << 20


THREADS = """
    import os, struct, sys, tempfile, threading, time
    import vesk
    EVENTS, THREADS = 3000, 4
    path = os.path.join(tempfile.mkdtemp(), "a.wd1")
    with open(path, "wb") as f:
        f.write(b"".join(struct.pack("<6i", 28, 0, 0, 0, i, 0) + struct.pack("<2H", i & 0xFFFF, 1)
                         for i in range(EVENTS)))
    start = threading.Barrier(THREADS)
    borrowed = threading.Event()

    class HoldNumpyImport:
        # Every step holds the interpreter lock, except while the first step of the
        # process imports NumPy: the one window where a second step of the same reader
        # can run. The import is held up until another thread has met "Already
        # borrowed", so that the window is met in every run, not by chance.
        def find_spec(self, name, path=None, target=None):
            if name == "numpy":
                borrowed.wait(timeout=60)
            return None

    def own_reader(results):
        start.wait()
        results.append([e["event_counter"] for e in vesk.EventReader(path, "WD1")])

    shared = vesk.EventReader(path, "WD1")

    def shared_reader(results):
        start.wait()
        seen = []
        while True:
            try:
                seen.append(next(shared)["event_counter"])
            except StopIteration:
                break
            except RuntimeError as e:
                assert e.args == ("Already borrowed",), e.args
                borrowed.set()
                time.sleep(0.0005)  # let the stepping thread finish
        results.append(seen)

    results = []
    if MODE == "shared":
        sys.meta_path.insert(0, HoldNumpyImport())
    target = own_reader if MODE == "own" else shared_reader
    threads = [threading.Thread(target=target, args=(results,)) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == THREADS, "a thread failed"
    if MODE == "own":
        assert all(r == list(range(EVENTS)) for r in results), [len(r) for r in results]
    else:
        counters = sorted(c for r in results for c in r)
        assert counters == list(range(EVENTS)), (len(counters), len(set(counters)))
    print("ok", borrowed.is_set())
"""


@pytest.mark.parametrize(
    ("mode", "contended"),
    [
        ("own", "False"),  # a reader per thread: never borrowed twice
        ("shared", "True"),  # one reader: the steps that meet a running step raise, and lose nothing
    ],
)
def test_threads_each_event_once(mode, contended):
    result = run_python(f"MODE = {mode!r}\n" + textwrap.dedent(THREADS))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok", contended]


# A thread inside a call on a FIFO that stays silent, or in a long read of a regular file,
# while another thread forks.
BUSY_AT_FORK = """
    import os, sys, threading, time, numpy as np, vesk_arrays as va
    path, kind = ARGS
    if kind == "fifo":
        os.mkfifo(path)
        writer = os.open(path, os.O_RDWR)  # a writer that never writes
    else:
        words = np.zeros((2_000_000, 8), "<u4")
        words[:, 0], words[:, 4] = 32, np.arange(len(words))
        words.tofile(path)
    reader = va.BatchReader(path, "WD1")
    threading.Thread(target=reader.read, args=(10 if kind == "fifo" else 10**8,), daemon=True).start()
    time.sleep(0.005 if kind == "file" else 0.2)
    pid = os.fork()
    if pid == 0:
        # The child's reader works, or says at once that it cannot.
        try:
            outcome = "read" if len(reader.read(10)) == 10 else "no events"
        except RuntimeError as error:
            outcome = "refused" if "fork" in str(error) else repr(error)
        reader.close()
        print(outcome, flush=True)
        os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
"""


@pytest.mark.parametrize("kind", ["fifo", "file"])
def test_fork_while_another_thread_is_inside_a_call(tmp_path, kind):
    args = [str(tmp_path / "source"), kind]
    result = run_python(f"ARGS = {args!r}" + textwrap.dedent(BUSY_AT_FORK), timeout=30)
    assert result.returncode == 0, result.stderr
    # A read of a FIFO never ends; the file's may have ended before the fork.
    assert result.stdout.split() in (["refused"], ["read"] if kind == "file" else ["refused"])


# A daemon thread waits inside a call (in a FIFO's open or read) when the interpreter
# exits; the writer comes while the interpreter is being torn down, and the thread, asking
# for the interpreter lock back, is ended by the interpreter.
EXIT_WITH_A_DAEMON_INSIDE = """
    import os, struct, sys, threading, time, vesk, vesk_arrays
    fifo, api, waits_in = ARGS
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR) if waits_in == "read" else None

    def read():
        if api == "EventReader":
            next(vesk.EventReader(fifo, "WD1"))
        else:
            vesk_arrays.BatchReader(fifo, "WD1").read(10)

    class LateWriter:
        # In a cycle: collected by the collection of the ending interpreter.
        def __del__(self, os=os, struct=struct, time=time, writer=writer):
            if writer is None:
                writer = os.open(fifo, os.O_WRONLY)
            os.write(writer, struct.pack("<6I", 24, 0, 0, 0, 0, 0))
            os.close(writer)
            time.sleep(0.5)

    late_writer = LateWriter()
    late_writer.cycle = late_writer
    del late_writer
    threading.Thread(target=read, daemon=True).start()
    time.sleep(0.2)
    print("exiting", flush=True)
"""


# ASan's runtime, following that unwind through the interpreter's uninstrumented frames,
# now and then fails a check of its own (asan_thread.cpp, kCurrentStackFrameMagic).
@pytest.mark.skipif(SANITIZED, reason="ASan cannot follow the unwind that ends a thread")
@pytest.mark.parametrize("api", ["EventReader", "BatchReader"])
@pytest.mark.parametrize("waits_in", ["open", "read"])
def test_daemon_thread_inside_a_call_at_exit(tmp_path, api, waits_in):
    args = [str(tmp_path / "fifo"), api, waits_in]
    result = run_python(f"ARGS = {args!r}" + textwrap.dedent(EXIT_WITH_A_DAEMON_INSIDE), timeout=30)
    assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr
