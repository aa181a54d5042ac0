#include "wd1_reader.hpp"

namespace vesk {

namespace {

std::int32_t header_word(const std::byte* header, std::size_t index)
{
    return static_cast<std::int32_t>(load_little_endian<std::uint32_t>(header + 4 * index));
}

}  // namespace

Outcome WD1Reader::read_header(Header& header, std::uint64_t& count)
{
    if (finished_) {
        return Outcome::End;
    }
    if (const Outcome skipped = finish_skipping(); skipped != Outcome::Event) {
        return skipped;
    }
    if (pad_byte_pending_) {
        // Also when the file ended before the byte could be read the first
        // time: it belongs to the event already returned.
        if (IoStatus status = file_.skip(1); !status.ok()) {
            if (status.error().is_eof()) {
                return Outcome::End;
            }
            error_ = status.error();
            finished_ = !error_.is_interrupted();
            return Outcome::Error;
        }
        pad_byte_pending_ = false;
    }
    begin_event();
    std::byte bytes[kHeaderBytes];
    if (IoStatus status = file_.read_exact(bytes, kHeaderBytes); !status.ok()) {
        return abandon_event(status.error());
    }
    return decode_header(bytes, header, count) ? Outcome::Event : Outcome::Damaged;
}

bool WD1Reader::decode_header(const std::byte* bytes, Header& header, std::uint64_t& count)
{
    header = Header{header_word(bytes, 0), header_word(bytes, 1), header_word(bytes, 2),
                    header_word(bytes, 3), header_word(bytes, 4), header_word(bytes, 5)};
    // (event_size - 24) / 2 on signed 32-bit values: the subtraction wraps,
    // the division truncates toward zero.
    const auto payload_bytes = static_cast<std::int32_t>(static_cast<std::uint32_t>(header.event_size) - 24u);
    const std::int64_t sample_count = payload_bytes / 2;
    if (sample_count < 0) {
        return false;
    }
    count = static_cast<std::uint64_t>(sample_count);
    return true;
}

}  // namespace vesk
