// Decoder of WD2 event files: no file header, each event a counter, a 64-bit
// timestamp, a per-channel sample count, a 64-bit sampling period and, in the
// multi-channel layout only, a channel count, followed by 32-bit floats.
//
// The file does not say which layout it has; `probe` decides once, from the
// first events, and `next` then decodes every event with that layout.
#pragma once

#include <cstdint>
#include <variant>

#include "buffered_file.hpp"
#include "decoder.hpp"
#include "sample_buffer.hpp"

namespace vesk {

struct WD2Event {
    std::uint32_t event_counter;
    std::uint64_t timestamp;
    std::uint32_t samples;
    std::uint64_t sampling_period;
    // The event's own channel field in the multi-channel layout, the file's
    // channel count otherwise.
    std::int32_t channels;
    SampleBuffer<float> data;
};

class WD2Reader;
using WD2ProbeResult = std::variant<WD2Reader, IoError, InternalFault>;

class WD2Reader {
public:
    // Decides the layout of the file at offset 0 and rewinds it. On failure
    // the file is closed before the error is returned.
    static WD2ProbeResult probe(BufferedFile file);

    DecoderAnswer<WD2Event> next();

    bool has_channel_field() const { return has_channel_field_; }
    std::int32_t channel_count() const { return channel_count_; }

private:
    WD2Reader(BufferedFile file, bool has_channel_field, std::int32_t channel_count)
        : file_(std::move(file)), has_channel_field_(has_channel_field), channel_count_(channel_count)
    {
    }

    BufferedFile file_;
    bool has_channel_field_;
    std::int32_t channel_count_;
};

}  // namespace vesk
