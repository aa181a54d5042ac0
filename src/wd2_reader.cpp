#include "wd2_reader.hpp"

#include <optional>

#include "little_endian.hpp"

namespace vesk {

namespace {

constexpr std::uint64_t kShortHeader = 24;  // without the channel field
constexpr std::uint64_t kLongHeader = 28;   // with it
constexpr std::uint64_t kFirstUnrepresentable = std::uint64_t{1} << 63;

struct Header {
    std::uint32_t counter;
    std::uint64_t timestamp;
    std::uint32_t samples;
    std::uint64_t period;
    std::int32_t channels;  // meaningful only when read from a long header
};

Header parse_header(const std::byte* bytes, bool with_channel_field)
{
    return Header{
        load_little_endian<std::uint32_t>(bytes + 0),
        load_little_endian<std::uint64_t>(bytes + 4),
        load_little_endian<std::uint32_t>(bytes + 12),
        load_little_endian<std::uint64_t>(bytes + 16),
        with_channel_field ? static_cast<std::int32_t>(load_little_endian<std::uint32_t>(bytes + 24)) : 0,
    };
}

IoResult<Header> read_header(BufferedFile& file, bool with_channel_field)
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

bool is_successor(const Header& first, const Header& second)
{
    return second.counter == static_cast<std::uint32_t>(first.counter + 1u)
           && second.samples == first.samples && second.period == first.period;
}

struct Layout {
    bool has_channel_field;
    std::int32_t channel_count;
};

// A layout, nothing (the reading does not hold), or the read error that
// stopped the reading.
using MaybeLayout = IoResult<std::optional<Layout>>;

MaybeLayout no_layout() { return std::optional<Layout>(); }
MaybeLayout found(Layout layout) { return std::optional<Layout>(layout); }

// Nothing for the end of the file, the error for anything else.
MaybeLayout no_layout_unless_error(const IoError& error)
{
    return error.is_eof() ? no_layout() : MaybeLayout(error);
}

// Reads the file as the multi-channel layout places it: event 1's data (`skip`
// bytes, skipped), then event 2's header. The layout when that reading can be
// completed: with the channel field when event 2 follows event 1, else
// without; nothing when the skip is impossible or the reading runs past the
// end of the file.
MaybeLayout multi_channel_reading(BufferedFile& file, const Header& first, std::uint64_t skip)
{
    if (skip >= kFirstUnrepresentable) {
        return no_layout();
    }
    if (IoStatus skipped = file.skip(skip); !skipped.ok()) {
        return no_layout_unless_error(skipped.error());
    }
    IoResult<Header> second = read_header(file, true);
    if (!second.ok()) {
        return no_layout_unless_error(second.error());
    }
    if (is_successor(first, second.value()) && second.value().channels == first.channels) {
        return found(Layout{true, first.channels});
    }
    return found(Layout{false, 1});
}

// The readings a file too short for the multi-channel reading can still have:
// exactly one multi-channel event, or a single-channel file (exactly one event,
// or a second 24-byte header that follows the first). Nothing when neither holds.
MaybeLayout short_file_reading(BufferedFile& file, const Header& first, std::uint64_t skip)
{
    if (!file.has_size()) {
        return no_layout();
    }
    const std::uint64_t size = file.size();
    if (first.channels >= 1 && skip < kFirstUnrepresentable && size == kLongHeader + skip) {
        return found(Layout{true, first.channels});
    }
    const std::uint64_t single_channel_end = kShortHeader + 4 * std::uint64_t{first.samples};
    if (size == single_channel_end) {
        return found(Layout{false, 1});
    }
    if (size < single_channel_end) {
        return no_layout();
    }
    if (IoStatus status = file.rewind(); !status.ok()) {
        return status.error();
    }
    if (IoStatus status = file.skip(single_channel_end); !status.ok()) {
        return status.error();
    }
    IoResult<Header> second = read_header(file, false);
    if (!second.ok()) {
        return no_layout_unless_error(second.error());
    }
    if (is_successor(first, second.value())) {
        return found(Layout{false, 1});
    }
    return no_layout();
}

}  // namespace

WD2ProbeResult WD2Reader::probe(BufferedFile file)
{
    IoResult<Header> first = read_header(file, true);
    if (!first.ok()) {
        return first.error();
    }
    const std::uint64_t skip = data_length(first.value().samples, first.value().channels);

    MaybeLayout layout = multi_channel_reading(file, first.value(), skip);
    if (layout.ok() && !layout.value()) {
        layout = short_file_reading(file, first.value(), skip);
    }
    if (!layout.ok()) {
        return layout.error();
    }
    if (!layout.value()) {
        if (skip >= kFirstUnrepresentable) {
            return capacity_overflow();
        }
        return IoError::unexpected_eof();
    }
    if (IoStatus status = file.rewind(); !status.ok()) {
        return status.error();
    }
    return WD2Reader(std::move(file), layout.value()->has_channel_field, layout.value()->channel_count);
}

DecoderAnswer<WD2Event> WD2Reader::next()
{
    IoResult<Header> header_read = read_header(file_, has_channel_field_);
    if (!header_read.ok()) {
        if (header_read.error().is_eof()) {
            return EndOfStream{};
        }
        return header_read.error();
    }
    const Header& header = header_read.value();
    const std::uint64_t length = data_length(header.samples, channel_count_);
    if (length >= kFirstUnrepresentable) {
        return capacity_overflow();
    }

    // A damaged length must not make us allocate what the file cannot hold:
    // such an event is truncated, and ends the stream like one.
    if (file_.ends_within(length)) {
        if (IoStatus status = file_.skip_to_end(); !status.ok()) {
            return status.error();
        }
        return EndOfStream{};
    }

    auto data = SampleBuffer<float>::allocate(static_cast<std::size_t>(length / 4));
    if (!data.ok()) {
        return OutOfMemory{};
    }
    if (IoStatus status = file_.read_exact(data.data(), length); !status.ok()) {
        if (status.error().is_eof()) {
            return EndOfStream{};
        }
        return status.error();
    }
    words_to_native_order<std::uint32_t>(data.data(), data.size());

    return WD2Event{
        header.counter,
        header.timestamp,
        header.samples,
        header.period,
        has_channel_field_ ? header.channels : channel_count_,
        std::move(data),
    };
}

}  // namespace vesk
