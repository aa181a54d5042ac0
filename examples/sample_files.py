"""Writes small synthetic WD1 and WD2 event files, as an acquisition system would.

Both formats have no file header; every field is little-endian.
  WD1 event: event_size, board_id, pattern, board_channel, event_counter, timestamp
             (six 32-bit words, event_size counting the whole event), then uint16 samples.
  WD2 event: event_counter (u32), timestamp (u64), samples per channel (u32),
             sampling_period (u64), channels (i32, multi-channel files only),
             then float32 samples, one channel after another.
The events are made as a vesk_arrays.Batch (one array per header field, the samples in
one array) and written by vesk_arrays.write.
"""

import numpy as np

import vesk_arrays


def pulse(n, amplitude, position, width, baseline, noise, rng):
    t = np.arange(n)
    shape = amplitude * np.exp(-0.5 * ((t - position) / width) ** 2)
    return baseline + shape + rng.normal(0.0, noise, n)


def write_wd1(path, events=20, samples=1024, seed=1):
    rng = np.random.default_rng(seed)
    waves = [
        pulse(samples, rng.uniform(500, 3000), rng.uniform(300, 700), 12, 8000, 15, rng)
        for _ in range(events)
    ]
    index = np.arange(events)
    columns = {
        "event_size": np.full(events, 24 + 2 * samples, np.int32),
        "board_id": np.full(events, 3, np.int32),
        "pattern": np.full(events, 0x5A5A, np.int32),
        "board_channel": (index % 16).astype(np.int32),
        "event_counter": index.astype(np.int32),
        "timestamp": (125 * index).astype(np.int32),
        "data": np.clip(np.concatenate(waves), 0, 65535).astype(np.uint16),
    }
    batch = vesk_arrays.Batch("WD1", columns, samples * np.arange(events + 1))
    vesk_arrays.write(path, batch, "WD1")


def write_wd2(path, events=20, samples=1024, channels=4, seed=2):
    rng = np.random.default_rng(seed)
    waves = [
        pulse(samples, -rng.uniform(0.05, 0.4), 400 + 40 * c, 6, 0.0, 0.002, rng)
        for _ in range(events)
        for c in range(channels)
    ]
    index = np.arange(events)
    columns = {
        "event_counter": index.astype(np.uint32),
        "timestamp": (1_000_000 * index).astype(np.uint64),
        "samples": np.full(events, samples, np.uint32),
        "sampling_period": np.full(events, 200, np.uint64),
        "channels": np.full(events, channels, np.int32),
        "data": np.concatenate(waves).astype(np.float32),
    }
    batch = vesk_arrays.Batch("WD2", columns, samples * channels * np.arange(events + 1))
    vesk_arrays.write(path, batch, "WD2")
