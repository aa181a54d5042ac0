// Decoder of WD1 event files: no file header, each event a 24-byte header of
// six little-endian 32-bit words (the first the event's total size in bytes)
// followed by unsigned 16-bit samples.
#pragma once

#include <cstdint>

#include "buffered_file.hpp"
#include "decoder.hpp"
#include "sample_buffer.hpp"

namespace vesk {

struct WD1Event {
    std::int32_t event_size;
    std::int32_t board_id;
    std::int32_t pattern;
    std::int32_t board_channel;
    std::int32_t event_counter;
    std::int32_t timestamp;
    SampleBuffer<std::uint16_t> samples;
};

class WD1Reader {
public:
    // Takes a file positioned at offset 0; reads nothing.
    explicit WD1Reader(BufferedFile file) : file_(std::move(file)) {}

    DecoderAnswer<WD1Event> next();

private:
    DecoderAnswer<WD1Event> fail(const IoError& error);

    BufferedFile file_;
    // Set by the first read error other than the end of the file; from then
    // on every call answers the end of the stream.
    bool finished_ = false;
    // An odd event_size leaves one byte after the samples that still belongs
    // to the event. It is dropped before the next header is read, also when
    // the file ended before it could be read the first time.
    bool pad_byte_pending_ = false;
};

}  // namespace vesk
