// Little-endian fields and samples: every multi-byte value in both formats is
// stored little-endian; vesk hands them out in the machine's order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vesk {

// An unsigned integer with its bytes in the opposite order.
template <class T>
constexpr T byte_swapped(T value)
{
    static_assert(std::is_unsigned_v<T> && (sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
    if constexpr (sizeof(T) == 2) {
        return __builtin_bswap16(value);
    } else if constexpr (sizeof(T) == 4) {
        return __builtin_bswap32(value);
    } else {
        return __builtin_bswap64(value);
    }
}

// The unsigned integer T stored little-endian at `bytes`.
template <class T>
T load_little_endian(const std::byte* bytes)
{
    static_assert(std::is_unsigned_v<T>);
    T value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = byte_swapped(value);
    }
    return value;
}

// The unsigned integer of a sample's width: samples are swapped as words of
// it, so that a float's bits are moved and never its value converted.
template <class Sample>
using WordOf = std::conditional_t<sizeof(Sample) == 2, std::uint16_t,
                                  std::conditional_t<sizeof(Sample) == 4, std::uint32_t, std::uint64_t>>;

// Reverses the bytes of each of `count` samples in place.
template <class Sample>
void swap_sample_bytes(Sample* samples, std::size_t count)
{
    using Word = WordOf<Sample>;
    static_assert(sizeof(Word) == sizeof(Sample));
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = std::bit_cast<Sample>(byte_swapped(std::bit_cast<Word>(samples[i])));
    }
}

// Turns `count` little-endian samples, as read from a file, into native order
// in place; nothing to do on little-endian machines.
template <class Sample>
void samples_to_native_order(Sample* samples, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::big) {
        swap_sample_bytes(samples, count);
    } else {
        (void)samples;
        (void)count;
    }
}

}  // namespace vesk
