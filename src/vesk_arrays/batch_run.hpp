// Filling a batch: the decoder stepped into a sink until a limit, the end of
// the file, or a problem. No Python here, so the fuzzers run it too.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "columns.hpp"
#include "event_runs.hpp"

namespace vesk {

struct Damage {
    std::uint64_t index;
    std::uint64_t offset;
};

// How a run of steps ended.
struct RunEnd {
    Outcome outcome = Outcome::End;  // Event: a limit was reached
    std::vector<Damage> damaged;
    std::optional<IoError> error;
};

// Reads a run of events like the last one, when the sink reads samples and the
// last one was large enough to gain from it. How many were read.
template <class Reader, class Sink>
std::uint64_t try_run(Reader& decoder, Sink& sink, std::uint64_t max_events, RunEnd& end)
{
    if constexpr (Sink::kReadsSamples) {
        if (sink.events() != 0 && sink.last_count() != 0) {
            return read_run(decoder, sink, sink.last_header(), sink.last_count(), max_events, end.error);
        }
    }
    return 0;
}

// Steps the decoder into `sink` until a limit, the end, or a problem.
template <class Reader, class Sink>
RunEnd run(Reader& decoder, Sink& sink, std::uint64_t& events_read, std::uint64_t max_events,
           bool skip_damaged)
{
    RunEnd end;
    std::uint64_t taken = 0;
    while (taken < max_events) {
        const std::uint64_t in_run = try_run(decoder, sink, max_events - taken, end);
        taken += in_run;
        events_read += in_run;
        if (end.error) {
            end.outcome = Outcome::Error;
            return end;
        }
        if (in_run != 0) {
            continue;  // another run may follow: from the file, once the buffer is used up
        }
        if constexpr (Sink::kReadsSamples) {
            if (!sink.ensure_row()) {
                end.outcome = Outcome::OutOfMemory;
                return end;
            }
        }
        const Outcome outcome = decoder.next(sink);
        if (outcome == Outcome::Event) {
            ++events_read;
            ++taken;
            continue;
        }
        if (outcome == Outcome::Damaged) {
            end.damaged.push_back(Damage{events_read, decoder.event_start()});
            ++events_read;
            if (skip_damaged) {
                continue;  // a skipped event does not count against the limit
            }
        }
        if (outcome == Outcome::Error) {
            end.error = decoder.error();
        }
        if (outcome == Outcome::OutOfMemory) {
            ++events_read;  // consumed whole: the next call reads the next event
        }
        end.outcome = outcome;
        return end;
    }
    end.outcome = Outcome::Event;
    return end;
}

}  // namespace vesk
