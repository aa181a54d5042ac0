#include "wd1_reader.hpp"

#include "little_endian.hpp"

namespace vesk {

namespace {

constexpr std::size_t kHeaderSize = 24;

std::int32_t header_word(const std::byte* header, std::size_t index)
{
    return static_cast<std::int32_t>(load_little_endian<std::uint32_t>(header + 4 * index));
}

}  // namespace

DecoderAnswer<WD1Event> WD1Reader::fail(const IoError& error)
{
    if (error.is_eof()) {
        return EndOfStream{};
    }
    finished_ = true;
    return error;
}

DecoderAnswer<WD1Event> WD1Reader::next()
{
    if (finished_) {
        return EndOfStream{};
    }
    if (pad_byte_pending_) {
        if (IoStatus status = file_.skip(1); !status.ok()) {
            return fail(status.error());
        }
        pad_byte_pending_ = false;
    }

    std::byte header[kHeaderSize];
    if (IoStatus status = file_.read_exact(header, kHeaderSize); !status.ok()) {
        return fail(status.error());
    }
    const std::int32_t event_size = header_word(header, 0);

    // (event_size - 24) / 2 on signed 32-bit values: the subtraction wraps,
    // the division truncates toward zero.
    const auto payload_words = static_cast<std::int32_t>(static_cast<std::uint32_t>(event_size) - 24u);
    const std::int64_t sample_count = payload_words / 2;
    if (sample_count < 0) {
        return capacity_overflow();
    }
    const auto payload_bytes = static_cast<std::uint64_t>(sample_count) * 2;

    // A damaged size field must not make us allocate what the file cannot
    // hold: such an event is truncated, and ends the stream like one.
    if (file_.ends_within(payload_bytes)) {
        if (IoStatus status = file_.skip_to_end(); !status.ok()) {
            return fail(status.error());
        }
        return EndOfStream{};
    }

    auto samples = SampleBuffer<std::uint16_t>::allocate(static_cast<std::size_t>(sample_count));
    if (!samples.ok()) {
        return OutOfMemory{};
    }
    if (IoStatus status = file_.read_exact(samples.data(), payload_bytes); !status.ok()) {
        return fail(status.error());
    }
    words_to_native_order<std::uint16_t>(samples.data(), samples.size());

    if (event_size >= 25 && (event_size & 1) != 0) {
        pad_byte_pending_ = true;
        if (file_.skip(1).ok()) {
            pad_byte_pending_ = false;
        }
    }

    return WD1Event{
        event_size,
        header_word(header, 1),
        header_word(header, 2),
        header_word(header, 3),
        header_word(header, 4),
        header_word(header, 5),
        std::move(samples),
    };
}

}  // namespace vesk
