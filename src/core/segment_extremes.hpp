// The position of the least or greatest sample of each segment of a column of
// samples (an event, or one channel of one): one pass over each segment while
// it is in the cache, where NumPy needs several over the whole column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vesk {

// The least (Greatest: the greatest) of `length` samples, NaN aside: a loop
// the compiler vectorises.
template <bool Greatest, class Sample>
Sample extreme_of(const Sample* samples, std::size_t length)
{
    Sample extreme = samples[0];
    for (std::size_t i = 1; i < length; ++i) {
        const Sample value = samples[i];
        if constexpr (Greatest) {
            extreme = value > extreme ? value : extreme;
        } else {
            extreme = value < extreme ? value : extreme;
        }
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
        const Sample extreme = extreme_of<Greatest>(segment, length);
        bool nan = false;
        if constexpr (std::is_floating_point_v<Sample>) {
            for (std::size_t i = 0; i < length; ++i) {
                nan |= segment[i] != segment[i];
            }
        }
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
