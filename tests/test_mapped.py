"""memory_map=True: batches whose samples stay in the file's mapping are the copying read's,
event for event and byte for byte, and outlive their reader; other sources read as before."""

import gc
import gzip
import io
import pickle
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vesk_arrays as va
from vesk_arrays._mapped import MappedBatch
from wdfiles import wd1_event, wd2_event

LAYOUT = {"WD1": None, "WD2-single": "single-channel", "WD2-multi": "multi-channel"}


@st.composite
def files(draw):
    """(kind, file bytes): events of one length or of several, WD1 events of odd sizes (a pad
    byte after them, so that the samples after lie at odd addresses), and now and then
    garbage between events or a cut last event."""
    kind = draw(st.sampled_from(sorted(LAYOUT)))
    lengths = draw(st.lists(st.integers(0, 12), min_size=1, max_size=4))
    count = draw(st.integers(0, 40))
    odd = kind == "WD1" and draw(st.booleans())
    channels = draw(st.integers(1, 3)) if kind == "WD2-multi" else None
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    parts = []
    for i in range(count):
        n = lengths[i % len(lengths)]
        if kind == "WD1":
            parts.append(wd1_event(rng.integers(0, 65536, n), event_counter=i, trailing=b"\0" * odd))
        else:
            data = rng.standard_normal(n * (channels or 1)).astype(np.float32)
            parts.append(wd2_event(data, counter=i, samples=n, channels=channels))
    garbage = draw(st.sampled_from([b"", b"\xff" * 7, b"\0" * 40]))
    if count > 2 and garbage:
        parts.insert(draw(st.integers(1, count - 1)), garbage)
    data = b"".join(parts)
    return kind, data[: len(data) - draw(st.sampled_from([0, 0, 3]))]


def summary(report):
    damaged = [(d.index, d.offset, d.reason) for d in report.damaged]
    return (report.events, report.rows, report.skipped, report.trailing_bytes, report.skipped_bytes, damaged)


@given(files(), st.sampled_from([1, 3, 1000, "200 B"]), st.sampled_from(["skip", "raise"]))
def test_mapped_batches_are_the_copied_batches(tmp_path_factory, case, step, errors):
    kind, data = case
    path = tmp_path_factory.mktemp("mapped") / "f.bin"
    path.write_bytes(data)

    def pairs(memory_map):
        out = []
        try:
            for batch, report in va.iterate(
                path,
                kind[:3],
                step_size=step,
                report=True,
                errors=errors,
                layout=LAYOUT[kind],
                memory_map=memory_map,
            ):
                out.append((batch, summary(report)))
        except va.DamagedEventError as error:
            out.append((None, (error.index, error.offset)))
        return out

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", va.DamagedEventWarning)
        copied, mapped = pairs(False), pairs(True)
    assert [r for _, r in mapped] == [r for _, r in copied]
    for (m, _), (c, _) in zip(mapped, copied):
        if c is None:
            continue
        assert (m.start, m.stop, len(m)) == (c.start, c.stop, len(c))
        if not len(c):
            continue
        assert isinstance(m, MappedBatch)
        for i in range(len(c)):
            assert m.event(i)["data"].tobytes() == c.event(i)["data"].tobytes()
        for part in (slice(None), slice(1, 3), slice(1, None)):  # slices keep their view
            try:
                expected = c[part].waveforms()
            except ValueError:
                with pytest.raises(ValueError):
                    m[part].waveforms()
            else:
                waves = m[part].waveforms()
                assert waves.tobytes() == expected.tobytes() and waves.shape == expected.shape
        assert m[1:3]["data"].tobytes() == c[1:3]["data"].tobytes()
        for op in ("max", "sum", "argmin"):  # read where the samples lie in the mapping
            assert m.reduce(op, start=1, empty=0).tobytes() == c.reduce(op, start=1, empty=0).tobytes()
        mapping, starts, lengths = m._sample_places()
        assert (lengths == np.diff(c.offsets)).all() and all(
            mapping[s : s + n * c["data"].itemsize].tobytes() == c.event(i)["data"].tobytes()
            for i, (s, n) in enumerate(zip(starts, lengths))
        )
        for name in c:  # "data" last: the copy is made from the mapping only now
            assert m[name].tobytes() == c[name].tobytes() and m[name].dtype == c[name].dtype


def test_arrays_outlive_the_reader_and_writes_never_reach_the_file(write):
    data = b"".join(wd1_event(np.arange(i, i + 64), event_counter=i) for i in range(100))
    path = write(data)
    with va.BatchReader(path, "WD1", memory_map=True) as reader:
        batch = reader.read(100)
    assert isinstance(batch, MappedBatch)
    waves, first = batch.waveforms(), batch.event(3)["data"]
    assert waves.base is not None and not waves.flags.owndata  # a view, nothing copied
    del batch, reader
    gc.collect()
    waves[:] = 7
    first[:] = 9
    assert waves[5, :3].tolist() == [7, 7, 7] and first[:2].tolist() == [9, 9]
    with open(path, "rb") as file:
        assert file.read() == data
    again = va.read(path, "WD1", memory_map=True)
    assert again.waveforms()[5, :3].tolist() == [5, 6, 7]
    copied = pickle.loads(pickle.dumps(again))  # travels with its samples, not the mapping
    assert type(copied) is va.Batch and copied["data"].tobytes() == again["data"].tobytes()


@pytest.mark.parametrize("how", ["gzip", "file object", "follow", "fifo"])
def test_what_cannot_be_mapped_reads_as_before(write, tmp_path, how):
    data = b"".join(wd1_event(np.arange(i, i + 5), event_counter=i) for i in range(20))
    path = write(data)
    if how == "gzip":
        source = write(gzip.compress(data), "f.wd1.gz")
    elif how == "file object":
        source = io.BytesIO(data)
    elif how == "fifo":
        source = tmp_path / "fifo"
        import os
        import threading

        os.mkfifo(source)
        threading.Thread(target=lambda: source.write_bytes(data), daemon=True).start()
    else:
        source = path
    with va.BatchReader(source, "WD1", memory_map=True, follow=how == "follow", timeout=0) as reader:
        batch = reader.read(100)
    assert type(batch) is va.Batch and batch["data"].tobytes() == va.read(path, "WD1")["data"].tobytes()


@pytest.mark.parametrize("step", [None, "2 MiB", 100])
def test_the_default_step_of_a_mapped_stream_is_larger_and_a_given_one_is_kept(write, step):
    event = wd1_event(np.arange(2048))  # 4 KiB of samples
    path = write(event * 1200)
    kwargs = {} if step is None else {"step_size": step}

    def first_lengths(memory_map):
        with va.BatchReader(path, "WD1", memory_map=memory_map) as reader:
            streamed = len(next(reader.batches(**kwargs)))
        iterated = len(next(va.iterate(path, "WD1", memory_map=memory_map, **kwargs)))
        return streamed, iterated

    copied, mapped = first_lengths(False), first_lengths(True)
    assert copied[0] == copied[1] and mapped[0] == mapped[1]
    assert mapped[0] == (1200 if step is None else copied[0])
