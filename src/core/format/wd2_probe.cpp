// The WD2 layout probe: whether the headers carry the channel field and how
// many channels the file holds, told from its first events (see wd2_reader.hpp).
#include "wd2_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>

#include "wd2_probe_chains.hpp"

namespace vesk {

namespace {

using namespace wd2;  // the probe's own helpers (wd2_probe_chains.hpp)

class Probe : ProbeChains {
public:
    using ProbeChains::ProbeChains;

    IoStatus back_to_start() { return wd2::back_to_start(file_, how_); }

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

}  // namespace vesk
