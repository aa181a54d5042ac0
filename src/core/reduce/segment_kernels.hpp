// The reductions of one segment of samples (an event, or one channel of one),
// each giving what NumPy's function of the same name gives for it. Samples are
// read with memcpy: a segment may start at any byte of a mapped file, and the
// compiler turns such loads into plain (vector) loads where it may.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesk {

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

// Whether `a` is to replace `b` as the least (Greatest: the greatest) so far.
template <bool Greatest, class Sample>
inline bool beats(Sample a, Sample b)
{
    if constexpr (Greatest) {
        return a > b;
    } else {
        return a < b;
    }
}

// The least (Greatest: the greatest) of `length` (> 0) samples, and whether
// any is NaN (the extreme then means nothing). Kept in independent lanes,
// which the compiler turns into vector instructions: the order in which
// samples are compared does not matter, as only the value is wanted. (Which of
// two equal zeros of opposite signs wins depends on the lanes, as in NumPy.)
template <bool Greatest, class Sample>
Sample extreme_of(const std::byte* samples, std::size_t length, bool& nan)
{
    constexpr std::size_t kLanes = 64 / sizeof(Sample);
    Sample lanes[kLanes];
    bool nans[kLanes] = {};
    const Sample first = sample_at<Sample>(samples, 0);
    for (std::size_t j = 0; j < kLanes; ++j) {
        lanes[j] = first;
    }
    std::size_t i = 0;
    for (; i + kLanes <= length; i += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j) {
            const Sample value = sample_at<Sample>(samples, i + j);
            lanes[j] = beats<Greatest>(value, lanes[j]) ? value : lanes[j];
            nans[j] |= value != value;
        }
    }
    for (; i < length; ++i) {
        const Sample value = sample_at<Sample>(samples, i);
        lanes[0] = beats<Greatest>(value, lanes[0]) ? value : lanes[0];
        nans[0] |= value != value;
    }
    Sample extreme = lanes[0];
    nan = nans[0];
    for (std::size_t j = 1; j < kLanes; ++j) {
        extreme = beats<Greatest>(lanes[j], extreme) ? lanes[j] : extreme;
        nan |= nans[j];
    }
    return extreme;
}

// The position of the first NaN among `length` samples known to hold one.
template <class Sample>
std::size_t first_nan(const std::byte* samples, std::size_t length)
{
    std::size_t at = 0;
    while (at + 1 < length && sample_at<Sample>(samples, at) == sample_at<Sample>(samples, at)) {
        ++at;
    }
    return at;
}

// min or max: NaN (the first one) wherever there is one, as NumPy's.
template <bool Greatest, class Sample>
Sample extreme_value(const std::byte* samples, std::size_t length)
{
    bool nan = false;
    const Sample extreme = extreme_of<Greatest, Sample>(samples, length, nan);
    return nan ? sample_at<Sample>(samples, first_nan<Sample>(samples, length)) : extreme;
}

// argmin or argmax: the first place of the extreme, found while the segment is
// still in the cache (a NaN counts as both, the first one winning, as in NumPy).
template <bool Greatest, class Sample>
std::int64_t extreme_position(const std::byte* samples, std::size_t length)
{
    bool nan = false;
    const Sample extreme = extreme_of<Greatest, Sample>(samples, length, nan);
    if (nan) {
        return static_cast<std::int64_t>(first_nan<Sample>(samples, length));
    }
    std::size_t at = 0;
    while (at + 1 < length && sample_at<Sample>(samples, at) != extreme) {
        ++at;
    }
    return static_cast<std::int64_t>(at);
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
        float sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
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

}  // namespace vesk
