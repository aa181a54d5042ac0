#include "wd1_reader.hpp"

namespace vesk {

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

}  // namespace vesk
