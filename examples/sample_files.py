"""Writes small synthetic WD1 and WD2 event files, as an acquisition system would.

Both formats have no file header; every field is little-endian.
  WD1 event: event_size, board_id, pattern, board_channel, event_counter, timestamp
             (six 32-bit words, event_size counting the whole event), then uint16 samples.
  WD2 event: event_counter (u32), timestamp (u64), samples per channel (u32),
             sampling_period (u64), channels (i32, multi-channel files only),
             then float32 samples, one channel after another.
"""

import struct

import numpy as np


def pulse(n, amplitude, position, width, baseline, noise, rng):
    t = np.arange(n)
    shape = amplitude * np.exp(-0.5 * ((t - position) / width) ** 2)
    return baseline + shape + rng.normal(0.0, noise, n)


def write_wd1(path, events=20, samples=1024, seed=1):
    rng = np.random.default_rng(seed)
    with open(path, "wb") as f:
        for i in range(events):
            wave = pulse(samples, rng.uniform(500, 3000), rng.uniform(300, 700), 12, 8000, 15, rng)
            payload = np.clip(wave, 0, 65535).astype("<u2").tobytes()
            f.write(struct.pack("<6I", 24 + len(payload), 3, 0x5A5A, i % 16, i, 125 * i))
            f.write(payload)


def write_wd2(path, events=20, samples=1024, channels=4, seed=2):
    rng = np.random.default_rng(seed)
    with open(path, "wb") as f:
        for i in range(events):
            waves = [
                pulse(samples, -rng.uniform(0.05, 0.4), 400 + 40 * c, 6, 0.0, 0.002, rng)
                for c in range(channels)
            ]
            payload = np.concatenate(waves).astype("<f4").tobytes()
            f.write(struct.pack("<IQIQi", i, 1_000_000 * i, samples, 200, channels))
            f.write(payload)
