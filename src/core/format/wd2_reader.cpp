#include "wd2_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>

namespace vesk {

namespace {

constexpr std::uint64_t kShortHeader = WD2Reader::kHeaderBytesWithoutChannels;
constexpr std::uint64_t kLongHeader = WD2Reader::kHeaderBytesWithChannels;

WD2Header parse_header(const std::byte* bytes, bool with_channel_field)
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

IoResult<WD2Header> read_wd2_header(BufferedFile& file, bool with_channel_field)
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
std::uint64_t data_length(std::uint32_t samples, std::int32_t channels)
{
    return std::uint64_t{samples} * static_cast<std::uint64_t>(std::int64_t{channels}) * 4u;
}

// Whether `second` continues the file after `first`. Their sample counts are
// not compared: with zero suppression or a variable record length, events of
// one file differ in length.
bool is_successor(const WD2Header& first, const WD2Header& second)
{
    return rises(first.event_counter, second.event_counter)
           && second.sampling_period == first.sampling_period;
}

// Headers that must chain for the chain of lengths to show a layout (fewer
// when the last of them ends exactly at the end of the file).
constexpr int kChainLinks = 3;
// Where a multi-channel chain may begin, when the first events do not show
// it: within the first bytes of the file (past a damaged first header).
constexpr std::uint64_t kChainWindow = std::uint64_t{1} << 20;
// How far past its first byte a stream is read to follow a chain.
constexpr std::uint64_t kStreamChainReach = std::uint64_t{16} << 20;
constexpr std::size_t kScanChunk = std::size_t{64} << 10;

constexpr WD2Layout kSingleChannel{.has_channel_field = false, .channel_count = 1};

// A layout, nothing (the reading does not hold), or the read error that
// stopped the reading.
using MaybeLayout = IoResult<std::optional<WD2Layout>>;

MaybeLayout no_layout()
{
    return std::optional<WD2Layout>();
}
MaybeLayout found(WD2Layout layout)
{
    return std::optional<WD2Layout>(layout);
}

// Back to the first byte, marked by the caller when a stream is restored.
IoStatus back_to_start(BufferedFile& file, WD2Reader::Return how)
{
    return how == WD2Reader::Return::Restore ? file.restore() : file.rewind();
}

// Nothing for the end of the file, the error for anything else.
MaybeLayout no_layout_unless_error(const IoError& error)
{
    return error.is_eof() ? no_layout() : MaybeLayout(error);
}

class Probe {
public:
    Probe(BufferedFile& file, WD2Reader::Return how, Probing probing, bool finite_stream)
        : file_(file), how_(how), probing_(probing), finite_stream_(finite_stream)
    {
    }

    IoStatus back_to_start() { return vesk::back_to_start(file_, how_); }

    // A stream keeps what the probe reads ahead; refuse to keep more than a
    // bound. (Rewinding keeps nothing: it fails on a stream anyway.)
    bool may_read_ahead(std::uint64_t bytes) const
    {
        return how_ == WD2Reader::Return::Rewind || file_.seekable() || bytes <= kMaxReadAhead;
    }

    // Reads the file as the multi-channel layout places it: event 1's data
    // (`skip` bytes, skipped), then event 2's header. The layout when that
    // reading can be completed: with the channel field when event 2 follows
    // event 1, else without; nothing when the skip is impossible or the reading
    // runs past the end of the file.
    MaybeLayout multi_channel_reading(const WD2Header& first, std::uint64_t skip)
    {
        if (skip >= kFirstUnrepresentable || !may_read_ahead(kLongHeader * 2 + skip)) {
            return no_layout();
        }
        IoResult<WD2Header> second = header_at(kLongHeader + skip, true);
        if (!second.ok()) {
            return no_layout_unless_error(second.error());
        }
        if (is_successor(first, second.value()) && second.value().channels == first.channels) {
            return found(WD2Layout{.has_channel_field = true, .channel_count = first.channels});
        }
        return found(kSingleChannel);
    }

    // The single-channel reading holds when the file ends exactly after the
    // first event, or a 24-byte header there follows the first.
    IoResult<bool> single_channel_consistent(const WD2Header& first)
    {
        const std::uint64_t first_end = kShortHeader + 4 * std::uint64_t{first.samples};
        if (const std::optional<std::uint64_t> size = file_.known_size()) {
            if (*size == first_end) {
                return true;
            }
            if (*size < first_end + kShortHeader) {
                return false;
            }
        } else if (!may_read_ahead(first_end + kShortHeader)) {
            return false;
        }
        if (!file_.seekable()) {
            if (IoStatus status = back_to_start(); !status.ok()) {
                return status.error();
            }
        }
        IoResult<WD2Header> second = header_at(first_end, false);
        if (!second.ok()) {
            // A stream's size is known once its end has been read: one event
            // that ends it is a single-channel file too.
            return second.error().is_eof() ? IoResult<bool>(file_.known_size() == first_end)
                                           : IoResult<bool>(second.error());
        }
        return is_successor(first, second.value());
    }

    // The readings a file too short for the multi-channel reading can still
    // have: exactly one multi-channel event, or a single-channel file.
    MaybeLayout short_file_reading(const WD2Header& first, std::uint64_t skip)
    {
        const std::optional<std::uint64_t> size = file_.known_size();
        if (size && first.channels >= 1 && skip < kFirstUnrepresentable && *size == kLongHeader + skip) {
            return found(WD2Layout{.has_channel_field = true, .channel_count = first.channels});
        }
        IoResult<bool> single = single_channel_consistent(first);
        if (!single.ok()) {
            return single.error();
        }
        return single.value() ? found(kSingleChannel) : no_layout();
    }

    // The layout, or why there is none.
    std::variant<WD2Layout, IoError, ProbeOverflow> decide()
    {
        std::byte bytes[kLongHeader];
        if (IoStatus status = file_.read_exact(bytes, kShortHeader); !status.ok()) {
            return status.error();
        }
        WD2Header first = parse_header(bytes, false);
        if (IoStatus status = file_.read_exact(bytes + kShortHeader, kLongHeader - kShortHeader);
            !status.ok()) {
            // A file of exactly one header announcing no samples is one
            // single-channel event.
            const std::optional<std::uint64_t> size = file_.known_size();
            if (status.error().is_eof() && first.samples == 0 && size == kShortHeader) {
                return kSingleChannel;
            }
            return status.error();
        }
        first = parse_header(bytes, true);
        const std::uint64_t skip = data_length(first.samples, first.channels);

        MaybeLayout layout = multi_channel_reading(first, skip);
        if (layout.ok() && layout.value() && layout.value()->has_channel_field
            && layout.value()->channel_count <= 0) {
            // Both readings may hold where the first samples are +0.0: a
            // channel count of 0 or less would lose every sample, so the
            // single-channel reading wins.
            IoResult<bool> single = single_channel_consistent(first);
            if (!single.ok()) {
                return single.error();
            }
            if (single.value()) {
                layout = found(kSingleChannel);
            }
        }
        if (layout.ok() && !layout.value()) {
            layout = short_file_reading(first, skip);
        }
        if (!layout.ok()) {
            return layout.error();
        }
        if (probing_ == Probing::ChainOfEvents && !(layout.value() && layout.value()->has_channel_field)) {
            // Where the first two events show the single-channel layout, they
            // decide, as they do for an event-by-event reader; but where their
            // counters do not show the multi-channel one, a file that holds
            // all its bytes is read on along both chains (a live stream may
            // stall there, and is not).
            IoResult<bool> single = single_channel_consistent(first);
            if (!single.ok()) {
                return single.error();
            }
            MaybeLayout chained = !single.value()                      ? chained_layout(skip)
                                  : file_.seekable() || finite_stream_ ? multi_channel_over_single()
                                                                       : found(kSingleChannel);
            if (!chained.ok()) {
                return chained.error();
            }
            if (chained.value()) {
                layout = chained;
            }
        }
        if (!layout.value()) {
            if (skip >= kFirstUnrepresentable) {
                return ProbeOverflow{};
            }
            if (!may_read_ahead(kLongHeader * 2 + skip)) {
                return IoError::stream_too_large(kLongHeader + skip);
            }
            return IoError::unexpected_eof();
        }
        return *layout.value();
    }

private:
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

}  // namespace

std::variant<WD2Layout, IoError, ProbeOverflow> WD2Reader::probe_layout(BufferedFile& file, Return how,
                                                                        Probing probing, bool finite_stream)
{
    if (how == Return::Restore) {
        file.mark();
    }
    Probe probe(file, how, probing, finite_stream);
    std::variant<WD2Layout, IoError, ProbeOverflow> decided = probe.decide();
    // Back after a failure too, so that the caller can probe again once more
    // of the file has come; where that fails, the probe's own error is told.
    const IoStatus back = probe.back_to_start();
    if (std::holds_alternative<WD2Layout>(decided) && !back.ok()) {
        return back.error();
    }
    return decided;
}

IoResult<WD2Layout> WD2Reader::given_layout(BufferedFile& file, bool has_channel_field, Return how)
{
    if (!has_channel_field) {
        return kSingleChannel;
    }
    if (how == Return::Restore) {
        file.mark();
    }
    std::byte bytes[kLongHeader];
    const IoStatus read = file.read_exact(bytes, kLongHeader);
    const IoStatus back = back_to_start(file, how);
    if (!read.ok()) {
        return read.error();
    }
    if (!back.ok()) {
        return back.error();
    }
    return WD2Layout{.has_channel_field = true, .channel_count = parse_header(bytes, true).channels};
}

Outcome WD2Reader::read_header(Header& header, std::uint64_t& count)
{
    if (finished_) {
        return Outcome::End;
    }
    if (const Outcome skipped = finish_skipping(); skipped != Outcome::Event) {
        return skipped;
    }
    begin_event();
    std::byte bytes[kLongHeader];
    if (IoStatus status = file_.read_exact(bytes, header_bytes()); !status.ok()) {
        return abandon_event(status.error());
    }
    return decode_header(bytes, header, count) ? Outcome::Event : Outcome::Damaged;
}

bool WD2Reader::decode_header(const std::byte* bytes, Header& header, std::uint64_t& count) const
{
    header = parse_header(bytes, has_channel_field_);
    if (!has_channel_field_) {
        header.channels = channel_count_;
    }
    if (data_length(header.samples, channel_count_) >= kFirstUnrepresentable) {
        return false;
    }
    count = std::uint64_t{header.samples} * static_cast<std::uint64_t>(std::int64_t{channel_count_});
    return true;
}

}  // namespace vesk
