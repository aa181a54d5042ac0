// What the WD2 layout probe reads besides the first events: chains of
// headers followed by their lengths, under one layout or the other, and the
// helpers both share. Only the probe (wd2_probe.cpp) includes this.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include "wd2_header_bytes.hpp"

namespace vesk::wd2 {

// Whether `second` continues the file after `first`. Their sample counts are
// not compared: with zero suppression or a variable record length, events of
// one file differ in length.
inline bool is_successor(const WD2Header& first, const WD2Header& second)
{
    return rises(first.event_counter, second.event_counter)
           && second.sampling_period == first.sampling_period;
}

// Headers that must chain for the chain of lengths to show a layout (fewer
// when the last of them ends exactly at the end of the file).
inline constexpr int kChainLinks = 3;
// Where a multi-channel chain may begin, when the first events do not show
// it: within the first bytes of the file (past a damaged first header).
inline constexpr std::uint64_t kChainWindow = std::uint64_t{1} << 20;
// How far past its first byte a stream is read to follow a chain.
inline constexpr std::uint64_t kStreamChainReach = std::uint64_t{16} << 20;
inline constexpr std::size_t kScanChunk = std::size_t{64} << 10;

inline constexpr WD2Layout kSingleChannel{.has_channel_field = false, .channel_count = 1};

// A layout, nothing (the reading does not hold), or the read error that
// stopped the reading.
using MaybeLayout = IoResult<std::optional<WD2Layout>>;

inline MaybeLayout no_layout()
{
    return std::optional<WD2Layout>();
}
inline MaybeLayout found(WD2Layout layout)
{
    return std::optional<WD2Layout>(layout);
}

// Back to the first byte, marked by the caller when a stream is restored.
inline IoStatus back_to_start(BufferedFile& file, WD2Reader::Return how)
{
    return how == WD2Reader::Return::Restore ? file.restore() : file.rewind();
}

// Nothing for the end of the file, the error for anything else.
inline MaybeLayout no_layout_unless_error(const IoError& error)
{
    return error.is_eof() ? no_layout() : MaybeLayout(error);
}

class ProbeChains {
public:
    ProbeChains(BufferedFile& file, WD2Reader::Return how, Probing probing, bool finite_stream)
        : file_(file), how_(how), probing_(probing), finite_stream_(finite_stream)
    {
    }

protected:
    // The header at `offset`. A regular file reads just its bytes, so that the
    // buffer keeps the first bytes of the file for the reading that follows
    // the probe; a stream, which is at or before `offset`, reads up to it.
    IoResult<WD2Header> header_at(std::uint64_t offset, bool with_channel_field)
    {
        if (!file_.seekable()) {
            if (IoStatus status = file_.skip(offset - file_.position()); !status.ok()) {
                return status.error();
            }
            return read_wd2_header(file_, with_channel_field);
        }
        std::byte bytes[kLongHeader];
        const std::size_t size = with_channel_field ? kLongHeader : kShortHeader;
        IoResult<std::size_t> got = file_.peek(offset, bytes, size, UINT64_MAX);
        if (!got.ok()) {
            return got.error();
        }
        if (got.value() < size) {
            return IoError::unexpected_eof();
        }
        return parse_header(bytes, with_channel_field);
    }

    struct Chain {
        int links = 0;
        bool ends = false;  // the last ends exactly where the file ends
    };

    // The layout the chain of lengths shows, where the first events did not
    // show the multi-channel one: single-channel where its headers chain from
    // the first byte (events whose counters do not rise, which the first two
    // events alone cannot tie together); else multi-channel where its headers
    // begin a chain at the first byte, one or two first-event lengths on (a
    // damaged second header), or anywhere in the first bytes (a damaged first
    // header). Nothing else.
    MaybeLayout chained_layout(std::uint64_t first_skip)
    {
        IoResult<bool> single = single_channel_chains();
        if (!single.ok() || single.value()) {
            return single.ok() ? found(kSingleChannel) : MaybeLayout(single.error());
        }
        if (first_skip < kFirstUnrepresentable) {
            const std::uint64_t first_span = kLongHeader + first_skip;
            for (const std::uint64_t at : {std::uint64_t{0}, first_span, 2 * first_span}) {
                MaybeLayout layout = multi_channel_chain_at(at);
                if (!layout.ok() || layout.value()) {
                    return layout;
                }
            }
        }
        std::unique_ptr<std::byte[]> chunk(new (std::nothrow) std::byte[kScanChunk + kLongHeader]);
        if (!chunk) {
            return IoError::os(ENOMEM);
        }
        for (std::uint64_t at = 0; at < kChainWindow; at += kScanChunk) {
            IoResult<std::size_t> got = peek(at, chunk.get(), kScanChunk + kLongHeader - 1);
            if (!got.ok()) {
                return got.error();
            }
            if (got.value() < kLongHeader) {
                break;
            }
            const std::size_t candidates = std::min(got.value() - kLongHeader + 1, kScanChunk);
            for (std::size_t i = 0; i < candidates; ++i) {
                // Most bytes are no header of any chain: a channel field below
                // 1, or a length past the end, rules them out before a chain is
                // followed.
                const WD2Header header = parse_header(chunk.get() + i, true);
                if (header.channels < 1 || !may_fit(at + i, kLongHeader, header, header.channels)) {
                    continue;
                }
                MaybeLayout layout = multi_channel_chain_at(at + i);
                if (!layout.ok() || layout.value()) {
                    return layout;
                }
            }
        }
        return no_layout();
    }

    // Whether 24-byte headers chain from the first byte: to the end of the
    // file, or for kChainLinks events. Sets how far chains may reach.
    IoResult<bool> single_channel_chains()
    {
        reach_ = file_.seekable() ? file_.known_size().value_or(0) : kStreamChainReach;
        IoResult<Chain> single = chain_from(0, kSingleChannel);
        if (!single.ok()) {
            return single.error();
        }
        return single.value().ends || single.value().links >= kChainLinks;
    }

    // Where the first two events show the single-channel layout: the
    // multi-channel one only where its headers chain from the first byte and
    // the single-channel headers, followed on, do not.
    MaybeLayout multi_channel_over_single()
    {
        IoResult<bool> single = single_channel_chains();
        if (!single.ok() || single.value()) {
            return single.ok() ? found(kSingleChannel) : MaybeLayout(single.error());
        }
        MaybeLayout multi = multi_channel_chain_at(0);
        if (!multi.ok() || multi.value()) {
            return multi;
        }
        return found(kSingleChannel);
    }

    // The multi-channel layout with the channel count of the header at
    // `offset`, where a chain begins there.
    MaybeLayout multi_channel_chain_at(std::uint64_t offset)
    {
        std::byte bytes[kLongHeader];
        IoResult<std::size_t> got = peek(offset, bytes, kLongHeader);
        if (!got.ok()) {
            return got.error();
        }
        if (got.value() < kLongHeader) {
            return no_layout();
        }
        // Events without channels hold no samples to chain by: such a file
        // is told only from its first byte.
        const std::int32_t channels = parse_header(bytes, true).channels;
        if (channels < (offset == 0 ? 0 : 1)) {
            return no_layout();
        }
        const WD2Layout layout{.has_channel_field = true, .channel_count = channels};
        IoResult<Chain> chain = chain_from(offset, layout);
        if (!chain.ok()) {
            return chain.error();
        }
        const Chain& seen = chain.value();
        const bool trusted = seen.links >= kChainLinks || (seen.ends && (seen.links >= 2 || offset == 0));
        return trusted ? found(layout) : no_layout();
    }

    // How far headers read with `layout` chain from `offset` (at most
    // kChainLinks): each fits what the file holds and keeps the sampling
    // period, and the channel field, of the first. Counters are not compared:
    // a file may hold its events in any order.
    IoResult<Chain> chain_from(std::uint64_t offset, WD2Layout layout)
    {
        const std::size_t size = layout.has_channel_field ? kLongHeader : kShortHeader;
        std::optional<WD2Header> first;
        Chain chain;
        while (chain.links < kChainLinks) {
            std::byte bytes[kLongHeader];
            IoResult<std::size_t> got = peek(offset, bytes, size);
            if (!got.ok()) {
                return got.error();
            }
            if (got.value() < size) {
                break;
            }
            const WD2Header header = parse_header(bytes, layout.has_channel_field);
            if (first
                && (header.sampling_period != first->sampling_period || header.channels != first->channels)) {
                break;
            }
            IoResult<bool> fits = holds(offset, size, header, layout.channel_count);
            if (!fits.ok()) {
                return fits.error();
            }
            if (!fits.value()) {
                break;
            }
            first = first ? first : header;
            offset += size + data_length(header.samples, layout.channel_count);
            ++chain.links;
            std::byte next;
            IoResult<std::size_t> after = peek(offset, &next, 1);
            if (!after.ok()) {
                return after.error();
            }
            if (after.value() == 0) {
                chain.ends = true;
                break;
            }
        }
        return chain;
    }

    // A quick check, without reading: false where the event at `offset`
    // certainly does not fit what the file holds or a stream may keep.
    bool may_fit(std::uint64_t offset, std::size_t header_size, const WD2Header& header,
                 std::int32_t channels)
    {
        const std::uint64_t length = data_length(header.samples, channels);
        if (length >= kFirstUnrepresentable) {
            return false;
        }
        return offset <= reach_ && header_size + length <= reach_ - offset;
    }

    // Whether the file holds all of the event at `offset`.
    IoResult<bool> holds(std::uint64_t offset, std::size_t header_size, const WD2Header& header,
                         std::int32_t channels)
    {
        if (!may_fit(offset, header_size, header, channels)) {
            return false;
        }
        if (file_.seekable()) {
            return true;
        }
        std::byte last;
        IoResult<std::size_t> got =
            peek(offset + header_size + data_length(header.samples, channels) - 1, &last, 1);
        if (!got.ok()) {
            return got.error();
        }
        return got.value() == 1;
    }

    // Bytes from `offset`, as many as the file holds: a stream reads ahead no
    // further than kStreamChainReach (and answers as if it ended there).
    IoResult<std::size_t> peek(std::uint64_t offset, std::byte* bytes, std::size_t n)
    {
        if (!file_.seekable()) {
            if (offset >= kStreamChainReach) {
                return std::size_t{0};
            }
            n = static_cast<std::size_t>(std::min<std::uint64_t>(n, kStreamChainReach - offset));
        }
        IoResult<std::size_t> got = file_.peek(offset, bytes, n, kStreamChainReach);
        if (!got.ok() && got.error().kind() == IoError::Kind::StreamTooLarge) {
            return std::size_t{0};
        }
        return got;
    }

    BufferedFile& file_;
    WD2Reader::Return how_;
    Probing probing_;
    bool finite_stream_;
    // Where a chain's events must end: a regular file's size, or as far as a
    // stream is read.
    std::uint64_t reach_ = 0;
};

}  // namespace vesk::wd2
