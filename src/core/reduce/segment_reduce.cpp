#include "segment_reduce.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

#include "segment_kernels.hpp"
#include "usable_cores.hpp"

namespace vesk {

namespace {

// A job is shared among cores only in parts at least this large: below it,
// starting a thread would cost about what the part saves.
constexpr std::uint64_t kPartBytes = std::uint64_t{1} << 20;
// What a segment costs beyond its samples, in bytes of samples.
constexpr std::uint64_t kSegmentCost = 64;
constexpr std::size_t kMaxParts = 64;

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
std::int64_t reduce_range(const SegmentReduction& job, std::size_t begin, std::size_t end)
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
        const std::byte* samples = job.bytes.data() + job.starts[i] + window.first * std::int64_t{sizeof(Sample)};
        const bool aligned = reinterpret_cast<std::uintptr_t>(samples) % alignof(Sample) == 0;
        const std::size_t block = aligned && job.sums_aligned_whole ? 0 : job.sum_block;
        results[i] = reduce_one<Sample, Op>(samples, static_cast<std::size_t>(window.size), block);
    }
    return missing;
}

// The job in up to as many parts as there are usable cores, each of about the
// same number of bytes, each a run of whole segments.
template <class Sample, Reduction Op>
std::int64_t reduce_all(const SegmentReduction& job)
{
    auto cost = [&](std::size_t i) {
        const Window window = window_of(job.lengths[i], job.window_start, job.window_stop);
        return static_cast<std::uint64_t>(window.size) * sizeof(Sample) + kSegmentCost;
    };
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < job.count; ++i) {
        total += cost(i);
    }
    const std::size_t parts =
        std::min<std::uint64_t>({total / kPartBytes, kMaxParts, job.count, total >= 2 * kPartBytes ? usable_cores() : 1});
    if (parts <= 1) {
        return reduce_range<Sample, Op>(job, 0, job.count);
    }
    std::array<std::size_t, kMaxParts + 1> cuts{};
    std::uint64_t done = 0;
    std::size_t part = 1;
    for (std::size_t i = 0; i < job.count && part < parts; ++i) {
        done += cost(i);
        if (done * parts >= total * part) {
            cuts[part++] = i + 1;
        }
    }
    for (; part <= parts; ++part) {
        cuts[part] = job.count;
    }
    std::array<std::int64_t, kMaxParts> missing{};
    run_parts(parts, [&](std::size_t p) { missing[p] = reduce_range<Sample, Op>(job, cuts[p], cuts[p + 1]); });
    for (std::size_t p = 0; p < parts; ++p) {
        if (missing[p] >= 0) {
            return missing[p];
        }
    }
    return -1;
}

template <class Sample>
std::int64_t reduce_samples(const SegmentReduction& job)
{
    switch (job.op) {
    case Reduction::Min:
        return reduce_all<Sample, Reduction::Min>(job);
    case Reduction::Max:
        return reduce_all<Sample, Reduction::Max>(job);
    case Reduction::Sum:
        return reduce_all<Sample, Reduction::Sum>(job);
    case Reduction::Mean:
        return reduce_all<Sample, Reduction::Mean>(job);
    case Reduction::ArgMin:
        return reduce_all<Sample, Reduction::ArgMin>(job);
    case Reduction::ArgMax:
        return reduce_all<Sample, Reduction::ArgMax>(job);
    }
    return -1;
}

// The first segment that does not lie within the bytes, or -1.
std::int64_t first_outside(const SegmentReduction& job, std::size_t sample_size)
{
    const auto size = static_cast<std::uint64_t>(job.bytes.size());
    for (std::size_t i = 0; i < job.count; ++i) {
        const std::int64_t start = job.starts[i];
        const std::int64_t length = job.lengths[i];
        if (start < 0 || length < 0 || static_cast<std::uint64_t>(start) > size
            || static_cast<std::uint64_t>(length) > (size - static_cast<std::uint64_t>(start)) / sample_size) {
            return static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

}  // namespace

Window window_of(std::int64_t length, std::int64_t start, std::int64_t stop)
{
    auto clip = [length](std::int64_t at) {
        if (at < 0) {
            return std::max<std::int64_t>(at + length, 0);
        }
        return std::min(at, length);
    };
    const std::int64_t first = clip(start);
    const std::int64_t last = clip(stop);
    return {.first = first, .size = last > first ? last - first : 0};
}

ReductionOutcome reduce_segments(const SegmentReduction& job)
{
    const bool floats = job.sample == SampleType::Float32;
    ReductionOutcome outcome;
    outcome.bad_segment = first_outside(job, floats ? sizeof(float) : sizeof(std::uint16_t));
    if (outcome.bad_segment < 0) {
        outcome.empty_segment = floats ? reduce_samples<float>(job) : reduce_samples<std::uint16_t>(job);
    }
    return outcome;
}

}  // namespace vesk
