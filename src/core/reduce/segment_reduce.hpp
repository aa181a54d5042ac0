// Per-segment reductions of samples anywhere in a buffer of bytes (a batch's
// column, or a file's mapping where segments sit between headers at any byte
// offset): one value per segment, each what NumPy gives for the segment's
// samples[start:stop].
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vesk {

enum class SampleType { UInt16, Float32 };

// Results: min and max of the sample type; sum uint64 (uint16 samples) or
// float; mean double (uint16) or float; argmin and argmax int64, counted from
// the window's first sample.
enum class Reduction { Min, Max, Sum, Mean, ArgMin, ArgMax };

struct SegmentReduction {
    std::span<const std::byte> bytes;
    SampleType sample = SampleType::UInt16;
    Reduction op = Reduction::Max;
    // Of each segment: where it starts in `bytes`, and its number of samples.
    const std::int64_t* starts = nullptr;
    const std::int64_t* lengths = nullptr;
    std::size_t count = 0;
    // The window of each segment, as a Python slice's bounds: negative ones
    // count from the segment's end, and both are clipped to it.
    std::int64_t window_start = 0;
    std::int64_t window_stop = INT64_MAX;
    // The blocks in which NumPy sums a run of floats (see float_sum): its
    // buffer's size (0: none) where it copies the run to an aligned buffer,
    // which releases from 2.3 on do only for a run at an unaligned address.
    std::size_t sum_block = 0;
    bool sums_aligned_whole = false;
    // The result (one of the op's type) of a segment whose window holds no
    // samples; null: 0, and the outcome names the first such segment.
    const void* empty = nullptr;
    void* results = nullptr;  // `count` of them, of the op's result type
};

struct ReductionOutcome {
    std::int64_t bad_segment = -1;    // the first not within `bytes` (nothing reduced then)
    std::int64_t empty_segment = -1;  // the first without a value (no `empty` given)
};

// The first and the number of samples of a segment of `length` in the window.
struct Window {
    std::int64_t first;
    std::int64_t size;
};
Window window_of(std::int64_t length, std::int64_t start, std::int64_t stop);

// Large jobs are shared among the cores this thread may run on.
ReductionOutcome reduce_segments(const SegmentReduction& job);

}  // namespace vesk
