// Events read in runs. Where a file holds events of one size back to back (the
// usual case: a digitizer with a fixed record length), the events are decoded
// in a tight loop: straight out of the buffer while it holds whole events;
// then, from a regular file, small events a chunk at a time read over their
// place in the sink's sample block and moved down over their headers, and
// larger events with one scatter-read that puts each header into a scratch
// area and each event's samples straight into place (the kernel writes the
// block only once). Every header is checked; from the first that announces
// another length, is damaged or does not follow the one before it, or the
// first event not read whole, the decoder goes on event by event.
//
// Reading from the file ahead of the headers is a guess that the events go on
// alike. It is made only where the last two events were alike, and never for
// more bytes than the buffer holds: the bytes a wrong guess brought in are
// handed to the buffer, so that no byte of a file is read twice, however its
// lengths vary. Events larger than half the buffer are not guessed at: their
// headers are read first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "decoder.hpp"
#include "formats.hpp"

namespace vesk {

inline constexpr std::size_t kMaxRunEvents = 512;  // two pieces each: within IOV_MAX
// Smaller events are cheaper to copy out of the buffer than to scatter-read:
// each piece costs the kernel a setup, and each sits at another offset from
// its page, which small payloads do not repay; large ones do (the benchmarks
// of the README compare the two).
inline constexpr std::uint64_t kMinScatteredSampleBytes = 4096;

// Events of a run are committed in slices: their headers decoded into a small
// array, then the samples and each column written in turn, so that the fresh
// memory behind the batch is written one stream at a time.
inline constexpr std::size_t kSliceEvents = 256;

// Smaller events of a regular file are read a chunk at a time straight into
// the sink's sample block, headers and all, and each event's samples are then
// moved down over the headers while the chunk is still in the cache: one copy
// by the kernel into place and one within the cache, where reading through the
// buffer costs the kernel's copy into it and a copy out to memory.
inline constexpr std::size_t kInPlaceChunkBytes = std::size_t{256} << 10;

// A run's read stopped by a signal handler: the bytes it took from the buffer
// first are gone from it, so the file goes back to the run's first byte, where
// the next step starts. Nothing was committed.
inline std::size_t stop_interrupted(BufferedFile& file, std::uint64_t start, const IoError& interrupted,
                                    std::optional<IoError>& error)
{
    const IoStatus back = file.seek(start);
    error = back.ok() ? interrupted : back.error();
    return 0;
}

// After a run read from the file: the bytes read past the events it took (from
// a header that announced another length, damage, a partial event) become the
// buffered bytes, `copy(into, n)` putting the first n of them there, so that
// the next step decodes them without reading them again. Where they do not
// fit, the file goes back to `stop`, where the run ended.
template <class Copy>
void give_back(BufferedFile& file, std::uint64_t stop, std::optional<IoError>& error, Copy&& copy)
{
    const std::uint64_t position = file.position();
    if (position == stop) {
        return;
    }
    if (position > stop) {
        if (std::byte* into = file.take_back(static_cast<std::size_t>(position - stop))) {
            copy(into, static_cast<std::size_t>(position - stop));
            return;
        }
    }
    if (IoStatus status = file.seek(stop); !status.ok()) {
        error = status.error();
    }
}

// Commits up to `events` events of `count` samples whose headers lie `stride`
// bytes apart from `headers`, up to the first that announces another length,
// is damaged, or does not follow the one before it as the file's events do (a
// chain of headers read a few bytes off the events can repeat their length);
// returns how many. `place(i, n)` first puts the samples of events
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
        const std::size_t slice = std::min(sink.knows_counters() ? kSliceEvents : 1, events - taken);
        std::size_t n = 0;
        for (const std::byte* header = headers + taken * stride; n < slice; ++n, header += stride) {
            std::uint64_t header_count = 0;
            if (!reader.decode_header(header, decoded[n], header_count) || header_count != count
                || !Reader::payload_ends_event(decoded[n])
                || !sink.may_follow(n == 0 ? sink.last_header() : decoded[n - 1], decoded[n])) {
                break;
            }
        }
        place(taken, n);
        if (destination != nullptr) {  // null where the samples stay in a mapping
            samples_to_native_order(destination + taken * count, static_cast<std::size_t>(n * count));
        }
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
    const std::byte* records = file.buffered_data();
    if constexpr (requires { sink.map_run(events, 0, 0); }) {
        if (sink.maps_samples()) {
            // The samples stay in the mapping: only where each starts is recorded.
            if (events == 0 || !sink.map_run(events, file.position() + header_bytes, event_bytes)) {
                return 0;
            }
            const std::size_t taken = commit_in_slices(reader, sink, records, event_bytes, count, events,
                                                       nullptr, [](std::size_t, std::size_t) {});
            file.consume(taken * event_bytes);
            return taken;
        }
    }
    Sample* destination =
        events != 0 ? sink.reserve_run(events * static_cast<std::size_t>(count), events) : nullptr;
    if (destination == nullptr) {
        return 0;
    }
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

// Reads up to `events` events of `count` samples in one chunk over their
// place in the sink's sample block (see kInPlaceChunkBytes), within the room the
// block already has; how many were committed. `error` as for read_run.
template <class Reader, class Sink>
std::size_t run_in_place(Reader& reader, Sink& sink, std::uint64_t count, std::uint64_t events,
                         std::optional<IoError>& error)
{
    using Sample = typename Reader::Sample;
    BufferedFile& file = reader.file();
    const auto header_bytes = static_cast<std::size_t>(reader.header_bytes());
    const auto payload_bytes = static_cast<std::size_t>(count * sizeof(Sample));
    const std::size_t event_bytes = header_bytes + payload_bytes;
    // The chunk may start up to kAliasingWindow bytes past the samples' place,
    // where the kernel fills it at full speed.
    const std::size_t room = sink.sample_room();
    const std::uint64_t fit = room > kAliasingWindow ? (room - kAliasingWindow) / event_bytes : 0;
    const std::uint64_t in_file = file.remaining().value_or(0) / event_bytes;  // as last seen: a bound
    const auto chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>({events, fit, in_file, kInPlaceChunkBytes / event_bytes}));
    if (chunk < 2) {
        return 0;
    }
    Sample* destination = sink.reserve_run(chunk * static_cast<std::size_t>(count), chunk);
    if (destination == nullptr) {
        return 0;  // the one-by-one path meets the shortage of memory itself
    }
    std::byte* raw = reinterpret_cast<std::byte*>(destination);
    while (!alias_free(raw, file.position())) {
        ++raw;
    }
    iovec piece{raw, chunk * event_bytes};
    const std::uint64_t start = file.position();
    IoResult<std::size_t> got = file.read_scattered(&piece, 1);
    if (!got.ok() && got.error().is_interrupted()) {
        return stop_interrupted(file, start, got.error(), error);
    }
    const std::size_t complete = got.ok() ? std::min(chunk, got.value() / event_bytes) : 0;
    // The samples of event i move down to i * count, below the headers of
    // the events after it, which commit_in_slices decodes before moving them.
    const std::size_t taken = commit_in_slices(
        reader, sink, raw, event_bytes, count, complete, destination, [&](std::size_t first, std::size_t n) {
            for (std::size_t i = first; i < first + n; ++i) {
                std::memmove(destination + i * count, raw + i * event_bytes + header_bytes, payload_bytes);
            }
        });
    give_back(file, start + taken * event_bytes, error,
              [&](std::byte* into, std::size_t n) { std::memcpy(into, raw + taken * event_bytes, n); });
    return taken;
}

// How many of the next `events` events have headers that announce `count`
// samples and are not damaged, read without moving the file.
template <class Reader>
std::size_t headers_alike(Reader& reader, std::uint64_t count, std::size_t events)
{
    BufferedFile& file = reader.file();
    const auto header_bytes = static_cast<std::size_t>(reader.header_bytes());
    const std::uint64_t event_bytes = header_bytes + count * sizeof(typename Reader::Sample);
    const std::uint64_t start = file.position();
    std::byte raw[kLargestHeaderBytes];
    typename Reader::Header header{};
    for (std::size_t i = 0; i < events; ++i) {
        std::uint64_t header_count = 0;
        IoResult<std::size_t> got = file.peek(start + i * event_bytes, raw, header_bytes, UINT64_MAX);
        if (!got.ok() || got.value() != header_bytes || !reader.decode_header(raw, header, header_count)
            || header_count != count || !Reader::payload_ends_event(header)) {
            return i;
        }
    }
    return events;
}

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
    if (!reader.at_event_boundary() || !Reader::payload_ends_event(like)) {
        return 0;
    }
    const std::uint64_t header_bytes = reader.header_bytes();
    const std::uint64_t payload_bytes = count * sizeof(Sample);
    const std::uint64_t event_bytes = header_bytes + payload_bytes;
    const std::uint64_t allowed = std::min(max_events, sink.room_for(payload_bytes));
    if (file.buffered() >= event_bytes) {
        return run_in_buffer(reader, sink, count,
                             static_cast<std::size_t>(std::min<std::uint64_t>(allowed, SIZE_MAX)));
    }
    if (!file.seekable() || sink.streak() < 2) {
        return 0;
    }
    const std::uint64_t fit = file.capacity() / event_bytes;  // what give_back can hand to the buffer
    if (payload_bytes < kMinScatteredSampleBytes) {
        return run_in_place(reader, sink, count, std::min(allowed, fit), error);
    }
    const std::uint64_t in_file = file.remaining().value_or(0) / event_bytes;  // as last seen: a bound
    auto events = static_cast<std::size_t>(std::min<std::uint64_t>({allowed, kMaxRunEvents, in_file}));
    // Events too large for the buffer to take back a wrong guess: their
    // headers are looked at first, a small read each beside the event's.
    events = fit >= 2 ? std::min<std::size_t>(events, static_cast<std::size_t>(fit))
                      : headers_alike(reader, count, events);
    if (events < 2) {
        return 0;
    }
    Sample* destination = sink.reserve_run(static_cast<std::size_t>(events * count), events);
    if (destination == nullptr) {
        return 0;  // the one-by-one path meets the shortage of memory itself
    }
    std::byte raw_headers[kMaxRunEvents][kLargestHeaderBytes];
    iovec pieces[2 * kMaxRunEvents];
    for (std::size_t i = 0; i < events; ++i) {
        pieces[2 * i] = iovec{raw_headers[i], static_cast<std::size_t>(header_bytes)};
        pieces[2 * i + 1] = iovec{destination + i * count, static_cast<std::size_t>(payload_bytes)};
    }
    const std::uint64_t start = file.position();
    IoResult<std::size_t> got = file.read_scattered(pieces, static_cast<int>(2 * events));
    if (!got.ok() && got.error().is_interrupted()) {
        return stop_interrupted(file, start, got.error(), error);
    }
    const std::size_t complete = got.ok() ? std::min<std::size_t>(events, got.value() / event_bytes) : 0;
    // The samples are already in place.
    const std::size_t taken = commit_in_slices(reader, sink, raw_headers[0], sizeof raw_headers[0], count,
                                               complete, destination, [](std::size_t, std::size_t) {});
    // The bytes past them lie in the headers' scratch area and the samples'
    // places, event after event.
    give_back(file, start + taken * event_bytes, error, [&](std::byte* into, std::size_t n) {
        for (std::size_t i = taken; n != 0; ++i) {
            const std::byte* parts[2] = {raw_headers[i],
                                         reinterpret_cast<const std::byte*>(destination + i * count)};
            const std::size_t sizes[2] = {static_cast<std::size_t>(header_bytes),
                                          static_cast<std::size_t>(payload_bytes)};
            for (int part = 0; part < 2 && n != 0; ++part) {
                const std::size_t take = std::min(n, sizes[part]);
                std::memcpy(into, parts[part], take);
                into += take;
                n -= take;
            }
        }
    });
    return taken;
}

}  // namespace vesk
