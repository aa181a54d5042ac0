// The formats vesk reads, and the one way both modules open a file with one:
// the decoder for a format over an opened file, a WD2 file's layout told first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

enum class Format : std::uint8_t { WD1, WD2 };

// The longest and the shortest header of any format: room for a raw header,
// and the least that every event takes.
inline constexpr std::uint64_t kLargestHeaderBytes =
    std::max(WD1Reader::kHeaderBytes, WD2Reader::kHeaderBytesWithChannels);
inline constexpr std::uint64_t kSmallestHeaderBytes =
    std::min(WD1Reader::kHeaderBytes, WD2Reader::kHeaderBytesWithoutChannels);

// Something per format, in the order of Format: PerFormat<BatchSink> holds
// the sink of one format or the other.
template <template <class> class Per>
using PerFormat = std::variant<Per<WD1Reader>, Per<WD2Reader>>;

// A decoder of either format.
using Decoder = PerFormat<std::type_identity_t>;

// The formats' names, by Format: what both modules take and give.
inline constexpr std::string_view kFormatNames[] = {"WD1", "WD2"};
static_assert(std::size(kFormatNames) == std::variant_size_v<Decoder>);

// Why a format's header is damaged, by Format: the words of the error the
// package raises for such an event, and of the WD2 probe's failure.
inline constexpr const char* kDamagedHeaderReasons[] = {
    "its event_size gives a negative number of samples",
    "its data length (samples x channels x 4 bytes) is 2^63 bytes or more",
};
static_assert(std::size(kDamagedHeaderReasons) == std::size(kFormatNames));

// The format of that name, compared byte for byte ("wd1" is none).
std::optional<Format> format_named(std::string_view name);

// Calls visit(format, std::type_identity<Reader>{}) for each format, in order.
template <class Visit>
void for_each_format(Visit&& visit)
{
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (visit(static_cast<Format>(I), std::type_identity<std::variant_alternative_t<I, Decoder>>{}), ...);
    }(std::make_index_sequence<std::variant_size_v<Decoder>>{});
}

// How a WD2 file's layout is found: probed, or given by the caller.
enum class LayoutRequest : std::uint8_t { Probe, MultiChannel, SingleChannel };
inline constexpr std::uint8_t kLayoutRequestCount = 3;

// A decoder, or why none could be made: a read error (the end of the file
// included), or a WD2 file's first event of a length that cannot be
// represented, with no layout of the file holding.
using DecoderOrFailure = std::variant<Decoder, IoError, ProbeOverflow>;

// How a WD2 file's layout is found and how the file gets back to its first
// byte after the probe (see WD2Reader).
struct WD2Opening {
    LayoutRequest layout = LayoutRequest::Probe;
    Probing probing = Probing::FirstTwoEvents;
    WD2Reader::Return how = WD2Reader::Return::Rewind;
    // A stream that holds all its bytes already: the probe may read ahead in
    // it as in a regular file without waiting for a writer.
    bool finite_stream = false;
};

// The decoder for `format` over `file`, which is at its first byte. A WD2
// file's layout is probed, or read from its first header, as `wd2` asks. On
// success the decoder has taken the file; on failure the file stays with the
// caller, back at its first byte where that can be done, so that a file still
// being written can be tried again.
DecoderOrFailure open_decoder(BufferedFile& file, Format format, const WD2Opening& wd2);

}  // namespace vesk
