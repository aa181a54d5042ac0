// Decoder of WD2 event files: no file header, each event a counter, a 64-bit
// timestamp, a per-channel sample count, a 64-bit sampling period and, in the
// multi-channel layout only, a channel count, followed by 32-bit floats.
//
// The file does not say which layout it has; `probe_layout` decides once,
// from the first two events, and `next` then decodes every event with that
// layout.
// Events may differ in length (zero suppression, variable record lengths), so
// the probe ties the first two together by their counters, sampling periods
// and, in the multi-channel layout, channel fields, never by their lengths.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "decoder.hpp"
#include "field_watch.hpp"

namespace vesk {

struct WD2Header {
    std::uint32_t event_counter;
    std::uint64_t timestamp;
    std::uint32_t samples;
    std::uint64_t sampling_period;
    // The event's own channel field in the multi-channel layout, the file's
    // channel count otherwise.
    std::int32_t channels;
};

// How every event of a file is read: with or without the channel field, and
// the channel count that gives each event's data length.
struct WD2Layout {
    bool has_channel_field;
    std::int32_t channel_count;
};

// The probe met a first event whose data length cannot be represented, and no
// other reading of the file holds.
struct ProbeOverflow {};

// How far the probe looks. FirstTwoEvents: the first two events alone tell
// the layout, as `vesk.EventReader` has always read files. ChainOfEvents:
// where they do not show the multi-channel layout (counters that fall or
// restart, a damaged header among the first two), the chain of event lengths
// from the start of the file decides.
enum class Probing : std::uint8_t { FirstTwoEvents, ChainOfEvents };

class WD2Reader : public EventStream {
public:
    using Header = WD2Header;
    using Sample = float;

    // How the probe gets back to the first byte: Rewind seeks to offset 0, which
    // a stream cannot do; Restore keeps what it read ahead (at most
    // kMaxReadAhead bytes on a stream) for the first events.
    enum class Return : std::uint8_t { Rewind, Restore };

    // Decides the layout of the file at its first byte, leaving the file with
    // the caller: on success it is back at its first byte, and on failure too
    // where that can be done (a stream keeps what it read, so that the probe
    // can be tried again once more bytes have come).
    // `finite_stream`: a stream that holds all its bytes already, read ahead
    // as far as a regular file.
    static std::variant<WD2Layout, IoError, ProbeOverflow> probe_layout(BufferedFile& file, Return how,
                                                                        Probing probing, bool finite_stream);

    // The layout the caller names instead of a probed one. The single-channel
    // layout reads nothing; the multi-channel one takes its channel count from
    // the first header's channel field, whatever it is (a file of events
    // without channels has 0 there, as the probe reads it), then puts the file
    // back at its first byte (also on failure, where it can). UnexpectedEof
    // while the file holds no whole 28-byte header.
    static IoResult<WD2Layout> given_layout(BufferedFile& file, bool has_channel_field, Return how);

    // Reads the file from its current position with `layout`.
    WD2Reader(BufferedFile file, WD2Layout layout)
        : EventStream(std::move(file), false), has_channel_field_(layout.has_channel_field),
          channel_count_(layout.channel_count)
    {
    }

    // One event into the sink. After a read error the next step rereads the
    // event; where the position cannot be restored the reader is finished.
    template <EventSink<Header, Sample> Sink>
    Outcome next(Sink& sink)
    {
        Header header;
        std::uint64_t count = 0;
        if (const Outcome read = read_header(header, count); read != Outcome::Event) {
            return read;
        }
        return take_payload<Sample>(sink, header, count);
    }

    // The header at `bytes` and its sample count; false for a damaged header.
    bool decode_header(const std::byte* bytes, Header& header, std::uint64_t& count) const;
    bool at_event_boundary() const { return !finished_ && unskipped_ == 0; }
    std::optional<std::uint64_t> next_event_start() const
    {
        return at_event_boundary() ? std::optional<std::uint64_t>(file_.position()) : std::nullopt;
    }
    static bool payload_ends_event(const Header&) { return true; }

    bool has_channel_field() const { return has_channel_field_; }
    std::int32_t channel_count() const { return channel_count_; }
    static constexpr std::uint64_t kHeaderBytesWithoutChannels = 24;
    static constexpr std::uint64_t kHeaderBytesWithChannels = 28;  // the channel field last
    std::uint64_t header_bytes() const
    {
        return has_channel_field_ ? kHeaderBytesWithChannels : kHeaderBytesWithoutChannels;
    }
    // Bytes the event takes in the file, header included.
    std::uint64_t event_span(const WD2Header&, std::uint64_t count) const
    {
        return header_bytes() + count * sizeof(Sample);
    }

private:
    // Event on a header whose data length can be represented; End, Error or
    // Damaged else.
    Outcome read_header(Header& header, std::uint64_t& count);

    bool has_channel_field_;
    std::int32_t channel_count_;
};

// The counter a scan follows, and the fields of a good event that a scan
// may rely on while they stay steady (see field_watch.hpp).
inline std::uint32_t counter_of(const WD2Header& header)
{
    return header.event_counter;
}

template <>
class FieldState<WD2Header> {
public:
    void see(const WD2Header& header)
    {
        if (seen_) {
            period_varies_ |= header.sampling_period != last_.sampling_period;
            channels_vary_ |= header.channels != last_.channels;
        }
        counters_.see(header.event_counter);
        last_ = header;
        seen_ = true;
    }
    bool agrees(const WD2Header& previous, const WD2Header& next) const
    {
        return (period_varies_ || next.sampling_period == previous.sampling_period)
               && (channels_vary_ || next.channels == previous.channels);
    }
    bool may_follow(const WD2Header& previous, const WD2Header& next) const
    {
        return agrees(previous, next) && counters_.may_follow(previous.event_counter, next.event_counter);
    }
    bool may_match(const std::byte* bytes) const
    {
        return !seen_ || period_varies_
               || load_little_endian<std::uint64_t>(bytes + 16) == last_.sampling_period;
    }
    Marker marker() const
    {
        if (!seen_ || period_varies_) {
            return {};
        }
        return Marker::of(last_.sampling_period, 16);
    }
    const WD2Header* last() const { return seen_ ? &last_ : nullptr; }
    const CounterSteps& counters() const { return counters_; }
    void gap() { counters_.gap(); }

private:
    WD2Header last_{};
    bool seen_ = false;
    bool period_varies_ = false;
    bool channels_vary_ = false;
    CounterSteps counters_;
};

}  // namespace vesk
