// The reduction of a run of segments, compiled once for each instruction set
// the reductions may run on (segment_run_*.cpp): everything here has
// internal linkage, so that no copy is shared between them.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "segment_kernels.hpp"
#include "segment_reduce.hpp"

namespace vesk {

namespace {

template <class Sample, Reduction Op>
auto reduce_one(const std::byte* samples, std::size_t length, std::size_t block)
{
    if constexpr (Op == Reduction::Min || Op == Reduction::Max) {
        return extreme_value<Op == Reduction::Max, Sample>(samples, length);
    } else if constexpr (Op == Reduction::ArgMin || Op == Reduction::ArgMax) {
        return extreme_position<Op == Reduction::ArgMax, Sample>(samples, length);
    } else if constexpr (std::is_same_v<Sample, float>) {
        const float sum = float_sum(samples, length, block);
        if constexpr (Op == Reduction::Sum) {
            return sum;
        } else {
            // As NumPy's mean: the float sum divided by the count in double.
            return static_cast<float>(static_cast<double>(sum) / static_cast<double>(length));
        }
    } else {
        const std::uint64_t sum = integer_sum(samples, length);
        if constexpr (Op == Reduction::Sum) {
            return sum;
        } else {
            return static_cast<double>(sum) / static_cast<double>(length);
        }
    }
}

// Reduces segments [begin, end): the first of them without a value, or -1.
template <class Sample, Reduction Op>
std::int64_t reduce_run(const SegmentReduction& job, std::size_t begin, std::size_t end)
{
    using Result = decltype(reduce_one<Sample, Op>(nullptr, 0, 0));
    auto* results = static_cast<Result*>(job.results);
    Result empty{};
    if (job.empty != nullptr) {
        std::memcpy(&empty, job.empty, sizeof empty);
    }
    std::int64_t missing = -1;
    for (std::size_t i = begin; i < end; ++i) {
        const Window window = window_of(job.lengths[i], job.window_start, job.window_stop);
        if (window.size == 0) {
            results[i] = empty;
            if (missing < 0 && job.empty == nullptr) {
                missing = static_cast<std::int64_t>(i);
            }
            continue;
        }
        const std::byte* samples =
            job.bytes.data() + job.starts[i] + window.first * std::int64_t{sizeof(Sample)};
        const bool aligned = reinterpret_cast<std::uintptr_t>(samples) % alignof(Sample) == 0;
        const std::size_t block = aligned && job.sums_aligned_whole ? 0 : job.sum_block;
        results[i] = reduce_one<Sample, Op>(samples, static_cast<std::size_t>(window.size), block);
    }
    return missing;
}

template <class Sample>
std::int64_t reduce_samples(const SegmentReduction& job, std::size_t begin, std::size_t end)
{
    switch (job.op) {
    case Reduction::Min: return reduce_run<Sample, Reduction::Min>(job, begin, end);
    case Reduction::Max: return reduce_run<Sample, Reduction::Max>(job, begin, end);
    case Reduction::Sum: return reduce_run<Sample, Reduction::Sum>(job, begin, end);
    case Reduction::Mean: return reduce_run<Sample, Reduction::Mean>(job, begin, end);
    case Reduction::ArgMin: return reduce_run<Sample, Reduction::ArgMin>(job, begin, end);
    case Reduction::ArgMax: return reduce_run<Sample, Reduction::ArgMax>(job, begin, end);
    }
    return -1;
}

// Reduces segments [begin, end) of a checked job: the first of them without a
// value, or -1.
std::int64_t reduce_segment_run(const SegmentReduction& job, std::size_t begin, std::size_t end)
{
    return job.sample == SampleType::Float32 ? reduce_samples<float>(job, begin, end)
                                             : reduce_samples<std::uint16_t>(job, begin, end);
}

}  // namespace

}  // namespace vesk
