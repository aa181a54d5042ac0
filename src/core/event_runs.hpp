// Events read in runs. Where a file holds events of one size back to back (the
// usual case: a digitizer with a fixed record length), the events are decoded
// in a tight loop straight out of the buffer while it holds whole events. Every
// header is checked; from the first that announces another length or is
// damaged, the decoder goes on event by event.
//
// Reading a run's samples straight from the file into place, with one
// scatter-read that puts the headers aside, was measured and does not pay: the
// kernel's copy into the cache-sized buffer and the copy out of it beat the
// kernel's copy into pieces that each sit at another offset from their page.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "decoder.hpp"

namespace vesk {

// Events of a run are committed in slices: their headers decoded into a small
// array, then the samples and each column written in turn, so that the fresh
// memory behind the batch is written one stream at a time.
inline constexpr std::size_t kSliceEvents = 256;

// Commits up to `events` events of `count` samples whose headers lie `stride`
// bytes apart from `headers`, up to the first that announces another length or
// is damaged; returns how many. `place(i, n)` first puts the samples of events
// i to i + n - 1 at `destination + i * count`.
template <class Reader, class Sink, class PlaceSamples>
std::size_t commit_in_slices(const Reader& reader, Sink& sink, const std::byte* headers, std::size_t stride,
                             std::uint64_t count, std::size_t events, typename Reader::Sample* destination,
                             PlaceSamples&& place)
{
    const std::uint64_t payload_bytes = count * sizeof(typename Reader::Sample);
    typename Reader::Header decoded[kSliceEvents];
    std::size_t taken = 0;
    while (taken < events) {
        const std::size_t slice = std::min(kSliceEvents, events - taken);
        std::size_t n = 0;
        for (const std::byte* header = headers + taken * stride; n < slice; ++n, header += stride) {
            std::uint64_t header_count = 0;
            if (!reader.decode_header(header, decoded[n], header_count) || header_count != count
                || !Reader::payload_ends_event(decoded[n])) {
                break;
            }
        }
        place(taken, n);
        samples_to_native_order(destination + taken * count, static_cast<std::size_t>(n * count));
        sink.commit_run(decoded, n, static_cast<std::size_t>(count), payload_bytes);
        taken += n;
        if (n < slice) {
            break;
        }
    }
    return taken;
}

// Decodes up to `events` events of `count` samples held whole in the buffer.
template <class Reader, class Sink>
std::size_t run_in_buffer(Reader& reader, Sink& sink, std::uint64_t count, std::size_t events)
{
    using Sample = typename Reader::Sample;
    BufferedFile& file = reader.file();
    const std::size_t header_bytes = static_cast<std::size_t>(reader.header_bytes());
    const std::size_t payload_bytes = static_cast<std::size_t>(count * sizeof(Sample));
    const std::size_t event_bytes = header_bytes + payload_bytes;
    events = std::min(events, file.buffered() / event_bytes);
    Sample* destination =
        events != 0 ? sink.reserve_run(events * static_cast<std::size_t>(count), events) : nullptr;
    if (destination == nullptr) {
        return 0;
    }
    const std::byte* records = file.buffered_data();
    const std::size_t taken = commit_in_slices(
        reader, sink, records, event_bytes, count, events, destination,
        [&](std::size_t first, std::size_t n) {
            for (std::size_t i = first; i < first + n; ++i) {
                std::memcpy(destination + i * count, records + i * event_bytes + header_bytes, payload_bytes);
            }
        });
    file.consume(taken * event_bytes);
    return taken;
}

// How many events like one of `count` samples (whose header decoded to
// `like`) were read into the sink from the buffer, up to `max_events`. None
// once the buffer holds less than an event: the next event, read on its own,
// refills it, and a run goes on from there.
template <class Reader, class Sink>
std::size_t read_run(Reader& reader, Sink& sink, const typename Reader::Header& like, std::uint64_t count,
                     std::uint64_t max_events)
{
    using Sample = typename Reader::Sample;
    const BufferedFile& file = reader.file();
    if (!reader.at_event_boundary() || !Reader::payload_ends_event(like)) {
        return 0;
    }
    const std::uint64_t payload_bytes = count * sizeof(Sample);
    if (file.buffered() < reader.header_bytes() + payload_bytes) {
        return 0;
    }
    const std::uint64_t allowed = std::min(max_events, sink.room_for(payload_bytes));
    return run_in_buffer(reader, sink, count,
                         static_cast<std::size_t>(std::min<std::uint64_t>(allowed, SIZE_MAX)));
}

}  // namespace vesk
