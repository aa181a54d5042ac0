// The position of the least or greatest sample of each segment of a column of
// samples (an event, or one channel of one): one pass over each segment while
// it is in the cache, where NumPy needs several over the whole column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vesk {

// Whether `a` is to replace `b` as the least (Greatest: the greatest) so far.
template <bool Greatest, class Sample>
bool beats(Sample a, Sample b)
{
    if constexpr (Greatest) {
        return a > b;
    } else {
        return a < b;
    }
}

// The least (Greatest: the greatest) of `length` samples, and whether any is
// NaN (the extreme then means nothing). Kept in independent lanes, which the
// compiler turns into vector instructions: the order in which samples are
// compared does not matter, as only the value is wanted, and equal values
// (0 and -0 among them) compare equal when its first place is sought.
template <bool Greatest, class Sample>
Sample extreme_of(const Sample* samples, std::size_t length, bool& nan)
{
    constexpr std::size_t kLanes = 32 / sizeof(Sample);
    Sample lanes[kLanes];
    bool nans[kLanes] = {};
    for (std::size_t j = 0; j < kLanes; ++j) {
        lanes[j] = samples[0];
    }
    std::size_t i = 0;
    for (; i + kLanes <= length; i += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j) {
            const Sample value = samples[i + j];
            lanes[j] = beats<Greatest>(value, lanes[j]) ? value : lanes[j];
            nans[j] |= value != value;
        }
    }
    for (; i < length; ++i) {
        lanes[0] = beats<Greatest>(samples[i], lanes[0]) ? samples[i] : lanes[0];
        nans[0] |= samples[i] != samples[i];
    }
    Sample extreme = lanes[0];
    nan = nans[0];
    for (std::size_t j = 1; j < kLanes; ++j) {
        extreme = beats<Greatest>(lanes[j], extreme) ? lanes[j] : extreme;
        nan |= nans[j];
    }
    return extreme;
}

template <bool Greatest, class Sample>
void first_extremes(const Sample* data, const std::int64_t* starts, const std::int64_t* lengths,
                    std::size_t segments, std::int64_t* positions)
{
    for (std::size_t s = 0; s < segments; ++s) {
        const Sample* segment = data + starts[s];
        const auto length = static_cast<std::size_t>(lengths[s]);
        // The extreme first, then where it first is, the segment still in the cache.
        bool nan = false;
        const Sample extreme = extreme_of<Greatest>(segment, length, nan);
        std::size_t at = 0;
        if (nan) {
            while (at + 1 < length && segment[at] == segment[at]) {
                ++at;
            }
        } else {
            while (at + 1 < length && segment[at] != extreme) {
                ++at;
            }
        }
        positions[s] = static_cast<std::int64_t>(at);
    }
}

// Within `data`, the segments start at `starts` and hold `lengths` samples,
// none empty and all in bounds. `positions[i]` becomes the position within
// segment i of its first least (or greatest) sample; a NaN counts as both,
// the first one winning, as NumPy's argmin and argmax have it.
template <class Sample>
void first_extremes(const Sample* data, const std::int64_t* starts, const std::int64_t* lengths,
                    std::size_t segments, bool greatest, std::int64_t* positions)
{
    if (greatest) {
        first_extremes<true>(data, starts, lengths, segments, positions);
    } else {
        first_extremes<false>(data, starts, lengths, segments, positions);
    }
}

}  // namespace vesk
