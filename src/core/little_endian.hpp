// Little-endian fields and samples: every multi-byte value in both formats is
// stored little-endian; vesk hands them out in the machine's order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesk {

template <class T>
constexpr T byte_swapped(T value)
{
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
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
    T value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = byte_swapped(value);
    }
    return value;
}

// Turns `count` little-endian words, as read from a file, into native order
// in place; nothing to do on little-endian machines. Word is the unsigned
// integer of the samples' width (uint32_t for float32 samples).
template <class Word>
void words_to_native_order(void* data, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::big) {
        auto* words = static_cast<Word*>(data);
        for (std::size_t i = 0; i < count; ++i) {
            words[i] = byte_swapped(words[i]);
        }
    } else {
        (void)data;
        (void)count;
    }
}

}  // namespace vesk
