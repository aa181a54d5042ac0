// Sinks: what a decoder hands each event to. The decoder reads the bytes; the
// sink decides where the samples go (a block of their own for one event, the
// columns of a batch, nowhere when events are only counted), so that one
// decoder serves every way of reading.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace vesk {

// What a decoder step needs of a sink of events with `Header` and `Sample`.
template <class Sink, class Header, class Sample>
concept EventSink = requires(Sink& sink, const Header& header, std::uint64_t sample_bytes) {
    // Whether the samples are read at all: counting events needs none, so
    // their bytes are skipped (by seeking, where the file allows).
    requires std::same_as<decltype(Sink::kReadsSamples), const bool>;
    // Asked with the size of an event's samples before they are read: false
    // stops before this event, which the next step reads again (a batch's
    // byte limit).
    { sink.wants(sample_bytes) } -> std::same_as<bool>;
    // The event was read whole. Never called for an event abandoned partway,
    // so a sink holds only complete events.
    sink.commit(header);
} && (!Sink::kReadsSamples || requires(Sink& sink, const Header& header, std::size_t count) {
                        // Where the event's `count` samples go, one after the other; null when
                        // memory cannot be had (the event is then passed over whole).
                        { sink.reserve(header, count) } -> std::same_as<Sample*>;
                    });

// What filling a batch (batch_fill.hpp) needs besides: counting the events
// taken and taking one back, and, where samples are read, rows made ahead of
// reading and the runs of equal events of event_runs.hpp.
template <class Sink, class Header, class Sample>
concept FillSink = EventSink<Sink, Header, Sample> && requires(Sink& sink, const Sink& held) {
    // The events taken so far, which the limits count.
    { held.events() } -> std::convertible_to<std::uint64_t>;
    // Takes the last event back out: good events found to begin inside it
    // show that its length was wrong.
    sink.uncommit_last();
} && (!Sink::kReadsSamples || requires(Sink& sink, const Sink& held, const Header* headers, std::size_t events, std::size_t count, std::uint64_t sample_bytes) {
                       // Room for one more row, made before the event is read so that commit
                       // cannot fail; false when memory ran out.
                       { sink.ensure_row() } -> std::same_as<bool>;
                       // The last event committed and its sample count: what the events of a
                       // run must repeat.
                       { held.last_header() } -> std::convertible_to<const Header&>;
                       { held.last_count() } -> std::convertible_to<std::size_t>;
                       // Whether an event of a run may come after `previous` in this file, by
                       // the fields it keeps steady and the way its counters move: a run stops
                       // at one that may not, which is then checked as any doubtful event is.
                       { held.may_follow(*headers, *headers) } -> std::same_as<bool>;
                       // Whether the file has shown how its counters move; until then a run
                       // commits its events one at a time, so that the next is checked
                       // against what the last showed.
                       { held.knows_counters() } -> std::same_as<bool>;
                       // How many events of that count end the batch: runs are read ahead
                       // of their headers only where lengths repeat.
                       { held.streak() } -> std::convertible_to<std::size_t>;
                       // How many more events with `sample_bytes` of samples the byte limit
                       // allows, so that a run stops where one-by-one reading would.
                       { held.room_for(sample_bytes) } -> std::convertible_to<std::uint64_t>;
                       // Room for `count` samples and the rows of the `events` events they make
                       // up, at once: the run then puts the samples in place itself. Null when
                       // memory cannot be had.
                       { sink.reserve_run(count, events) } -> std::same_as<Sample*>;
                       // Bytes the sample block holds past the samples so far without growing:
                       // where a run may read its events whole before moving their samples.
                       { held.sample_room() } -> std::convertible_to<std::size_t>;
                       // `events` events of `count` samples each (`sample_bytes` bytes), whose
                       // samples are already in place.
                       sink.commit_run(headers, events, count, sample_bytes);
                   });

}  // namespace vesk
