// The reductions of one segment of samples (an event, or one channel of one),
// each giving what NumPy's function of the same name gives for it. Samples are
// read with memcpy: a segment may start at any byte of a mapped file, and the
// compiler turns such loads into plain (vector) loads where it may.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vesk {

// Each file that includes the kernels compiles them for its own instruction
// set (see segment_run.hpp): its copies stay its own.
namespace {

template <class T>
inline T load(const std::byte* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class Sample>
inline Sample sample_at(const std::byte* samples, std::size_t i)
{
    return load<Sample>(samples + i * sizeof(Sample));
}

// A vector of samples: by default 16 bytes, which every x86-64 or AArch64
// machine holds in one register; the loops below take four at a time to keep
// its pipeline full. (GCC's and Clang's vector extensions: the compiler picks
// the instructions.)
#ifndef VESK_VECTOR_BYTES
#define VESK_VECTOR_BYTES 16
#endif
template <class Sample>
struct SampleVector {
    typedef Sample Type __attribute__((vector_size(VESK_VECTOR_BYTES)));
    static constexpr std::size_t kLanes = VESK_VECTOR_BYTES / sizeof(Sample);
    static constexpr std::size_t kStep = 4 * kLanes;
};

template <class Sample>
inline typename SampleVector<Sample>::Type vector_at(const std::byte* samples, std::size_t i)
{
    return load<typename SampleVector<Sample>::Type>(samples + i * sizeof(Sample));
}

// Whether `a` is to replace `b` as the least (Greatest: the greatest) so far
// (lane by lane, for vectors).
template <bool Greatest, class Sample>
inline auto beats(Sample a, Sample b)
{
    if constexpr (Greatest) {
        return a > b;
    } else {
        return a < b;
    }
}

// Whether `value` is NaN (never, for integers; lane by lane, for vectors).
template <class Sample>
inline auto is_nan(Sample value)
{
    return value != value;
}

// The least (Greatest: the greatest) of `length` (> 0) samples, or a NaN if
// any is one. Kept in independent lanes, NaNs apart (a comparison with a NaN
// never holds, so the lanes pass over them, and a plain max or min
// instruction will do): the order in which samples are compared does not
// matter, as only the value is wanted. (Which of two equal zeros of opposite
// signs wins depends on the lanes, as in NumPy.)
template <bool Greatest, class Sample>
Sample extreme_of(const std::byte* samples, std::size_t length)
{
    using Lanes = SampleVector<Sample>;
    using Vector = typename Lanes::Type;
    const Sample first = sample_at<Sample>(samples, 0);
    Vector lanes[4];
    for (auto& lane : lanes) {
        lane = Vector{} + first;
    }
    decltype(is_nan(Vector{})) nans[4] = {};
    std::size_t i = 0;
    for (; i + Lanes::kStep <= length; i += Lanes::kStep) {
        for (std::size_t k = 0; k < 4; ++k) {
            const Vector value = vector_at<Sample>(samples, i + k * Lanes::kLanes);
            lanes[k] = beats<Greatest>(value, lanes[k]) ? value : lanes[k];
            nans[k] |= is_nan(value);
        }
    }
    Sample extreme = first;
    bool nan = is_nan(first);
    if (i != 0) {  // the lanes were used: their four vectors joined, then their lanes
        for (std::size_t k = 1; k < 4; ++k) {
            lanes[0] = beats<Greatest>(lanes[k], lanes[0]) ? lanes[k] : lanes[0];
            nans[0] |= nans[k];
        }
        for (std::size_t j = 0; j < Lanes::kLanes; ++j) {
            extreme = beats<Greatest>(lanes[0][j], extreme) ? lanes[0][j] : extreme;
            nan |= nans[0][j] != 0;
        }
    }
    for (; i < length; ++i) {
        const Sample value = sample_at<Sample>(samples, i);
        extreme = beats<Greatest>(value, extreme) ? value : extreme;
        nan |= is_nan(value);
    }
    if constexpr (std::numeric_limits<Sample>::has_quiet_NaN) {
        return nan ? std::numeric_limits<Sample>::quiet_NaN() : extreme;
    }
    return extreme;
}

// The position of the first sample that `matches` (a sample, or lane by lane
// a vector), which the caller knows to be there: vector-wide steps while none
// does.
template <class Sample, class Match>
std::size_t first_match(const std::byte* samples, std::size_t length, Match matches)
{
    using Lanes = SampleVector<Sample>;
    std::size_t i = 0;
    for (; i + Lanes::kStep <= length; i += Lanes::kStep) {
        const auto hits = matches(vector_at<Sample>(samples, i))
                          | matches(vector_at<Sample>(samples, i + Lanes::kLanes))
                          | matches(vector_at<Sample>(samples, i + 2 * Lanes::kLanes))
                          | matches(vector_at<Sample>(samples, i + 3 * Lanes::kLanes));
        std::uint64_t any = 0;
        for (std::size_t at = 0; at < sizeof hits; at += sizeof any) {
            any |= load<std::uint64_t>(reinterpret_cast<const std::byte*>(&hits) + at);
        }
        if (any != 0) {
            break;
        }
    }
    while (i + 1 < length && !matches(sample_at<Sample>(samples, i))) {
        ++i;
    }
    return i;
}

// The position of the first sample equal to `target` (NaN: the first NaN).
template <class Sample>
std::size_t first_place(const std::byte* samples, std::size_t length, Sample target)
{
    if (is_nan(target)) {
        return first_match<Sample>(samples, length, [](auto value) { return is_nan(value); });
    }
    return first_match<Sample>(samples, length, [target](auto value) { return value == target; });
}

// min or max: NaN (the first one) wherever there is one, as NumPy's.
template <bool Greatest, class Sample>
Sample extreme_value(const std::byte* samples, std::size_t length)
{
    const Sample extreme = extreme_of<Greatest, Sample>(samples, length);
    return is_nan(extreme) ? sample_at<Sample>(samples, first_place(samples, length, extreme)) : extreme;
}

// argmin or argmax: the first place of the extreme (a NaN counts as both, the
// first one winning, as in NumPy). The extreme of each block of samples, then
// the first place of the best in the first block that holds it: one pass
// over the segment, and one over a block still in the cache.
template <bool Greatest, class Sample>
std::int64_t extreme_position(const std::byte* samples, std::size_t length)
{
    constexpr std::size_t kBlock = 1024;
    auto block_at = [&](std::size_t at) { return length - at < kBlock ? length - at : kBlock; };
    std::size_t best_at = 0;
    Sample best = extreme_of<Greatest, Sample>(samples, block_at(0));
    for (std::size_t at = kBlock; at < length && !is_nan(best); at += kBlock) {
        const Sample extreme = extreme_of<Greatest, Sample>(samples + at * sizeof(Sample), block_at(at));
        if (beats<Greatest>(extreme, best) || is_nan(extreme)) {
            best = extreme;
            best_at = at;
        }
    }
    return static_cast<std::int64_t>(
        best_at + first_place(samples + best_at * sizeof(Sample), block_at(best_at), best));
}

// NumPy's pairwise sum of floats, step for step, so that every rounding is the
// same: below 8 samples one after another; up to 128 in 8 running sums, joined
// pairwise, then the rest; above, the two halves (the first a multiple of 8
// long) summed so and added. The 8 running sums are one vector's lanes.
inline float pairwise_sum(const std::byte* samples, std::size_t length)
{
    constexpr std::size_t kBlock = 128;
    if (length < 8) {
        float sum = 0.0F;
        for (std::size_t i = 0; i < length; ++i) {
            sum += sample_at<float>(samples, i);
        }
        return sum;
    }
    if (length <= kBlock) {
        float lanes[8];
        for (std::size_t j = 0; j < 8; ++j) {
            lanes[j] = sample_at<float>(samples, j);
        }
        std::size_t i = 8;
        for (; i < length - length % 8; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) {
                lanes[j] += sample_at<float>(samples, i + j);
            }
        }
        float sum =
            ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
        for (; i < length; ++i) {
            sum += sample_at<float>(samples, i);
        }
        return sum;
    }
    std::size_t half = length / 2;
    half -= half % 8;
    return pairwise_sum(samples, half) + pairwise_sum(samples + half * sizeof(float), length - half);
}

// NumPy's sum of a run of floats: from 0, adding the pairwise sum of each
// `block` samples in turn (0: of all at once; NumPy before 2.3 summed a run in
// blocks of its buffer's size).
inline float float_sum(const std::byte* samples, std::size_t length, std::size_t block)
{
    if (block == 0) {
        block = length;
    }
    float sum = 0.0F;
    for (std::size_t at = 0; at < length; at += block) {
        const std::size_t size = length - at < block ? length - at : block;
        sum += pairwise_sum(samples + at * sizeof(float), size);
    }
    return sum;
}

// The exact sum of 16-bit samples: in 32 bits as far as they cannot overflow,
// which vectors add twice as many at a time as 64 bits.
inline std::uint64_t integer_sum(const std::byte* samples, std::size_t length)
{
    constexpr std::size_t kPart = std::size_t{1} << 16;  // 65535 * 65536 < 2^32
    std::uint64_t sum = 0;
    for (std::size_t at = 0; at < length; at += kPart) {
        const std::size_t end = length - at < kPart ? length : at + kPart;
        std::uint32_t part = 0;
        for (std::size_t i = at; i < end; ++i) {
            part += sample_at<std::uint16_t>(samples, i);
        }
        sum += part;
    }
    return sum;
}

}  // namespace

}  // namespace vesk
