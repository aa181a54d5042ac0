// Events read in runs. Where a regular file holds events of one size back to
// back (the usual case: a digitizer with a fixed record length), one
// scatter-read puts each header into a scratch area and each event's samples
// straight into place in the sink's sample block: no copy through the buffer,
// and the kernel writes the block only once. Every header is checked after the
// read; from the first that announces another length, is damaged, or was not
// read whole, the file goes back and the decoder reads events one by one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "decoder.hpp"

namespace vesk {

inline constexpr std::size_t kMaxRunEvents = 512;  // two pieces each: within IOV_MAX

// How many events like one of `count` samples (whose header decoded to
// `like`) were read into the sink, up to `max_events`. A read error is left for
// the one-by-one path to meet again; `error` is set when the step must end: a
// signal handler asked to stop, or the file could not be put back where the
// run stopped.
template <class Reader, class Sink>
std::size_t read_run(Reader& reader, Sink& sink, const typename Reader::Header& like, std::uint64_t count,
                     std::uint64_t max_events, std::optional<IoError>& error)
{
    using Sample = typename Reader::Sample;
    BufferedFile& file = reader.file();
    if (!file.seekable() || !reader.at_event_boundary() || !Reader::payload_ends_event(like)) {
        return 0;
    }
    const std::uint64_t header_bytes = reader.header_bytes();
    const std::uint64_t payload_bytes = count * sizeof(Sample);
    const std::uint64_t event_bytes = header_bytes + payload_bytes;
    const std::uint64_t in_file = file.remaining().value_or(0) / event_bytes;  // as last seen: a bound
    const std::size_t events = static_cast<std::size_t>(
        std::min<std::uint64_t>({max_events, kMaxRunEvents, in_file, sink.room_for(payload_bytes)}));
    if (events < 2) {
        return 0;
    }
    Sample* destination = sink.reserve_run(static_cast<std::size_t>(events * count));
    if (destination == nullptr) {
        return 0;  // the one-by-one path meets the shortage of memory itself
    }
    std::byte headers[kMaxRunEvents][32];
    iovec pieces[2 * kMaxRunEvents];
    for (std::size_t i = 0; i < events; ++i) {
        pieces[2 * i] = iovec{headers[i], static_cast<std::size_t>(header_bytes)};
        pieces[2 * i + 1] = iovec{destination + i * count, static_cast<std::size_t>(payload_bytes)};
    }
    const std::uint64_t start = file.position();
    IoResult<std::size_t> got = file.read_scattered(pieces, static_cast<int>(2 * events));
    if (!got.ok() && got.error().is_interrupted()) {
        error = got.error();
        return 0;
    }
    const std::size_t complete = got.ok() ? std::min<std::size_t>(events, got.value() / event_bytes) : 0;
    std::size_t taken = 0;
    for (; taken < complete; ++taken) {
        typename Reader::Header header;
        std::uint64_t header_count = 0;
        if (!reader.decode_header(headers[taken], header, header_count) || header_count != count
            || !Reader::payload_ends_event(header)) {
            break;
        }
        words_to_native_order<Sample>(destination + taken * count, static_cast<std::size_t>(count));
        sink.commit_counted(header, static_cast<std::size_t>(count), payload_bytes);
    }
    const std::uint64_t stop = start + taken * event_bytes;
    if (file.position() != stop) {
        if (IoStatus status = file.seek(stop); !status.ok()) {
            error = status.error();
        }
    }
    return taken;
}

}  // namespace vesk
