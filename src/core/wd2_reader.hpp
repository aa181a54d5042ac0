// Decoder of WD2 event files: no file header, each event a counter, a 64-bit
// timestamp, a per-channel sample count, a 64-bit sampling period and, in the
// multi-channel layout only, a channel count, followed by 32-bit floats.
//
// The file does not say which layout it has; `probe` decides once, from the
// first events, and `next` then decodes every event with that layout.
#pragma once

#include <cstdint>
#include <variant>

#include "decoder.hpp"

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

// The probe met a first event whose data length cannot be represented, and no
// other reading of the file holds.
struct ProbeOverflow {};

class WD2Reader;
using WD2ProbeResult = std::variant<WD2Reader, IoError, ProbeOverflow>;

class WD2Reader : public EventStream {
public:
    using Header = WD2Header;
    using Sample = float;

    // How the probe gets back to the first byte: Rewind seeks to offset 0, which
    // a stream cannot do; Restore keeps what it read ahead (at most
    // kMaxReadAhead bytes on a stream) for the first events.
    enum class Return : std::uint8_t { Rewind, Restore };

    // Decides the layout of the file at offset 0. On failure the file is
    // closed before the error is returned.
    static WD2ProbeResult probe(BufferedFile file, Return how = Return::Rewind);

    // One event into the sink. After a read error the next step rereads the
    // event; where the position cannot be restored the reader is finished.
    template <class Sink>
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
    static bool payload_ends_event(const Header&) { return true; }

    bool has_channel_field() const { return has_channel_field_; }
    std::int32_t channel_count() const { return channel_count_; }
    std::uint64_t header_bytes() const { return has_channel_field_ ? 28 : 24; }

private:
    WD2Reader(BufferedFile file, bool has_channel_field, std::int32_t channel_count)
        : EventStream(std::move(file), false), has_channel_field_(has_channel_field),
          channel_count_(channel_count)
    {
    }

    // Event on a header whose data length can be represented; End, Error or
    // Damaged else.
    Outcome read_header(Header& header, std::uint64_t& count);

    bool has_channel_field_;
    std::int32_t channel_count_;
};

}  // namespace vesk
