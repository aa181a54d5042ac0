#include "wd2_reader.hpp"

#include <optional>

namespace vesk {

namespace {

constexpr std::uint64_t kShortHeader = 24;  // without the channel field
constexpr std::uint64_t kLongHeader = 28;   // with it

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
    return second.event_counter == static_cast<std::uint32_t>(first.event_counter + 1u)
           && second.sampling_period == first.sampling_period;
}

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
    Probe(BufferedFile& file, WD2Reader::Return how) : file_(file), how_(how) {}

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
        if (IoStatus skipped = file_.skip(skip); !skipped.ok()) {
            return no_layout_unless_error(skipped.error());
        }
        IoResult<WD2Header> second = read_wd2_header(file_, true);
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
        if (IoStatus status = back_to_start(); !status.ok()) {
            return status.error();
        }
        if (IoStatus status = file_.skip(first_end); !status.ok()) {
            return status.error().is_eof() ? IoResult<bool>(false) : IoResult<bool>(status.error());
        }
        IoResult<WD2Header> second = read_wd2_header(file_, false);
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
    BufferedFile& file_;
    WD2Reader::Return how_;
};

}  // namespace

std::variant<WD2Layout, IoError, ProbeOverflow> WD2Reader::probe_layout(BufferedFile& file, Return how)
{
    if (how == Return::Restore) {
        file.mark();
    }
    Probe probe(file, how);
    std::variant<WD2Layout, IoError, ProbeOverflow> decided = probe.decide();
    // Back after a failure too, so that the caller can probe again once more
    // of the file has come; where that fails, the probe's own error is told.
    const IoStatus back = probe.back_to_start();
    if (std::holds_alternative<WD2Layout>(decided) && !back.ok()) {
        return back.error();
    }
    return decided;
}

std::variant<WD2Layout, IoError, ChannelFieldBelowOne>
WD2Reader::given_layout(BufferedFile& file, bool has_channel_field, Return how)
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
    const std::int32_t channels = parse_header(bytes, true).channels;
    if (channels < 1) {
        return ChannelFieldBelowOne{.channels = channels};
    }
    return WD2Layout{.has_channel_field = true, .channel_count = channels};
}

std::string ChannelFieldBelowOne::display() const
{
    return "the first WD2 event's channel field is " + std::to_string(channels)
           + ", so its events cannot be read with the multi-channel layout";
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
