// Decoder of WD1 event files: no file header, each event a 24-byte header of
// six little-endian 32-bit words (the first the event's total size in bytes)
// followed by unsigned 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "decoder.hpp"
#include "field_watch.hpp"
#include "little_endian.hpp"

namespace vesk {

struct WD1Header {
    std::int32_t event_size;
    std::int32_t board_id;
    std::int32_t pattern;
    std::int32_t board_channel;
    std::int32_t event_counter;
    std::int32_t timestamp;
};

class WD1Reader : public EventStream {
public:
    using Header = WD1Header;
    using Sample = std::uint16_t;
    static constexpr std::uint64_t kHeaderBytes = 24;

    // Takes a file positioned at offset 0; reads nothing.
    explicit WD1Reader(BufferedFile file) : EventStream(std::move(file), true) {}

    // One event into the sink. After a read error other than an interrupt the
    // reader is finished: every later step answers End.
    template <EventSink<Header, Sample> Sink>
    Outcome next(Sink& sink)
    {
        Header header;
        std::uint64_t count = 0;
        if (const Outcome read = read_header(header, count); read != Outcome::Event) {
            return read;
        }
        const Outcome outcome = take_payload<Sample>(sink, header, count);
        if (outcome == Outcome::Event || outcome == Outcome::OutOfMemory || unskipped_ != 0) {
            // An odd size leaves one byte after the last whole sample that still
            // belongs to the event: it is dropped before the next header.
            pad_byte_pending_ = pad_byte_after(header);
        }
        return outcome;
    }

    // The header at `bytes` and its sample count; false for a damaged header.
    // Inline: runs of small events decode one header every few nanoseconds.
    static bool decode_header(const std::byte* bytes, Header& header, std::uint64_t& count)
    {
        const auto word = [bytes](std::size_t index) {
            return static_cast<std::int32_t>(load_little_endian<std::uint32_t>(bytes + 4 * index));
        };
        header = Header{.event_size = word(0),
                        .board_id = word(1),
                        .pattern = word(2),
                        .board_channel = word(3),
                        .event_counter = word(4),
                        .timestamp = word(5)};
        // (event_size - 24) / 2 on signed 32-bit values: the subtraction wraps,
        // the division truncates toward zero.
        const auto payload_bytes = static_cast<std::int32_t>(static_cast<std::uint32_t>(header.event_size)
                                                             - std::uint32_t{kHeaderBytes});
        const std::int64_t sample_count = payload_bytes / 2;
        if (sample_count < 0) {
            return false;
        }
        count = static_cast<std::uint64_t>(sample_count);
        return true;
    }
    std::uint64_t header_bytes() const { return kHeaderBytes; }
    // An odd size leaves one byte after the last whole sample that still
    // belongs to the event (sizes below a header's hold no sample).
    static bool pad_byte_after(const WD1Header& header)
    {
        return header.event_size > static_cast<std::int32_t>(kHeaderBytes) && (header.event_size & 1) != 0;
    }
    // Bytes the event takes in the file, header and pad byte included.
    std::uint64_t event_span(const WD1Header& header, std::uint64_t count) const
    {
        return kHeaderBytes + count * sizeof(Sample) + (pad_byte_after(header) ? 1 : 0);
    }
    // Whether events can be read in runs (see read_run): not while a pad byte
    // is pending, as odd sizes put one between events.
    bool at_event_boundary() const { return !finished_ && !pad_byte_pending_ && unskipped_ == 0; }
    // Goes on reading at `offset` (see EventStream): no pad byte lies before it.
    IoStatus resume_at(std::uint64_t offset)
    {
        pad_byte_pending_ = false;
        return EventStream::resume_at(offset);
    }
    // See EventStream::Cursor; a pad byte may be pending between events.
    struct Cursor {
        EventStream::Cursor stream;
        bool pad_byte_pending = false;
    };
    Cursor cursor() const { return {.stream = EventStream::cursor(), .pad_byte_pending = pad_byte_pending_}; }
    IoStatus rewind(const Cursor& to)
    {
        if (IoStatus status = EventStream::rewind(to.stream); !status.ok()) {
            return status;
        }
        pad_byte_pending_ = to.pad_byte_pending;
        return io_ok();
    }
    // Where the next event starts: past the pad byte still to be dropped, if
    // any; nothing while the reader is inside an event or finished.
    std::optional<std::uint64_t> next_event_start() const
    {
        if (finished_ || unskipped_ != 0) {
            return std::nullopt;
        }
        return file_.position() + (pad_byte_pending_ ? 1 : 0);
    }
    static bool payload_ends_event(const Header& header) { return (header.event_size & 1) == 0; }

private:
    // Event on a header that gives a sample count; End, Error or Damaged else.
    Outcome read_header(Header& header, std::uint64_t& count);

    bool pad_byte_pending_ = false;
};

// The counter a scan follows, and the fields of a good event that a scan
// may rely on while they stay steady (see field_watch.hpp).
inline std::uint32_t counter_of(const WD1Header& header)
{
    return static_cast<std::uint32_t>(header.event_counter);
}

template <>
class FieldState<WD1Header> {
public:
    void see(const WD1Header& header)
    {
        if (seen_) {
            board_varies_ |= header.board_id != last_.board_id;
        }
        counters_.see(counter_of(header));
        last_ = header;
        seen_ = true;
    }
    // Whether `next` has the fields of `previous` that the file keeps steady.
    bool agrees(const WD1Header& previous, const WD1Header& next) const
    {
        return board_varies_ || next.board_id == previous.board_id;
    }
    // Whether `next` may come after `previous` in this file.
    bool may_follow(const WD1Header& previous, const WD1Header& next) const
    {
        return agrees(previous, next) && counters_.may_follow(counter_of(previous), counter_of(next));
    }
    // A quick test of the raw header at `bytes` against the last good event:
    // false only where may_follow would be false.
    bool may_match(const std::byte* bytes) const
    {
        return !seen_ || board_varies_
               || load_little_endian<std::uint32_t>(bytes + 4) == static_cast<std::uint32_t>(last_.board_id);
    }
    // The bytes every plausible header holds at a fixed place, if any: a
    // scan looks for them first.
    Marker marker() const
    {
        if (!seen_ || board_varies_) {
            return {};
        }
        return Marker::of(static_cast<std::uint32_t>(last_.board_id), 4);
    }
    const WD1Header* last() const { return seen_ ? &last_ : nullptr; }
    const CounterSteps& counters() const { return counters_; }
    void gap() { counters_.gap(); }

private:
    WD1Header last_{};
    bool seen_ = false;
    bool board_varies_ = false;
    CounterSteps counters_;
};

}  // namespace vesk
