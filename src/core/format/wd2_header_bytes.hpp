// The bytes of a WD2 header, for the decoder and its layout probe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "little_endian.hpp"
#include "wd2_reader.hpp"

namespace vesk::wd2 {

inline constexpr std::uint64_t kShortHeader = WD2Reader::kHeaderBytesWithoutChannels;
inline constexpr std::uint64_t kLongHeader = WD2Reader::kHeaderBytesWithChannels;

inline WD2Header parse_header(const std::byte* bytes, bool with_channel_field)
{
    return WD2Header{
        .event_counter = load_little_endian<std::uint32_t>(bytes + 0),
        .timestamp = load_little_endian<std::uint64_t>(bytes + 4),
        .samples = load_little_endian<std::uint32_t>(bytes + 12),
        .sampling_period = load_little_endian<std::uint64_t>(bytes + 16),
        .channels =
            with_channel_field ? static_cast<std::int32_t>(load_little_endian<std::uint32_t>(bytes + 24)) : 0,
    };
}

inline IoResult<WD2Header> read_wd2_header(BufferedFile& file, bool with_channel_field)
{
    std::byte bytes[kLongHeader];
    const std::size_t size = with_channel_field ? kLongHeader : kShortHeader;
    if (IoStatus status = file.read_exact(bytes, size); !status.ok()) {
        return status.error();
    }
    return parse_header(bytes, with_channel_field);
}

// samples x channels x 4, formed in 64 bits with `samples` zero-extended and
// `channels` sign-extended, wrapping on overflow.
inline std::uint64_t data_length(std::uint32_t samples, std::int32_t channels)
{
    return std::uint64_t{samples} * static_cast<std::uint64_t>(std::int64_t{channels}) * 4u;
}

}  // namespace vesk::wd2
