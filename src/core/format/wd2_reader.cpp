#include "wd2_reader.hpp"

#include "wd2_header_bytes.hpp"

namespace vesk {

Outcome WD2Reader::read_header(Header& header, std::uint64_t& count)
{
    if (finished_) {
        return Outcome::End;
    }
    if (const Outcome skipped = finish_skipping(); skipped != Outcome::Event) {
        return skipped;
    }
    begin_event();
    std::byte bytes[wd2::kLongHeader];
    if (IoStatus status = file_.read_exact(bytes, header_bytes()); !status.ok()) {
        return abandon_event(status.error());
    }
    return decode_header(bytes, header, count) ? Outcome::Event : Outcome::Damaged;
}

bool WD2Reader::decode_header(const std::byte* bytes, Header& header, std::uint64_t& count) const
{
    header = wd2::parse_header(bytes, has_channel_field_);
    if (!has_channel_field_) {
        header.channels = channel_count_;
    }
    if (wd2::data_length(header.samples, channel_count_) >= kFirstUnrepresentable) {
        return false;
    }
    count = std::uint64_t{header.samples} * static_cast<std::uint64_t>(std::int64_t{channel_count_});
    return true;
}

}  // namespace vesk
