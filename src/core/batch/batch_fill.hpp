// Filling a batch: the decoder stepped into a sink until a limit, the end of
// the file, or a problem. After damage, reading goes on at the next good event
// (see resync.hpp), and every byte of the file ends up in an event, a skipped
// range, or the trailing bytes. No Python here, so the fuzzers run it too.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "batch_columns.hpp"
#include "damage_skip.hpp"
#include "event_runs.hpp"
#include "fill_state.hpp"
#include "resync.hpp"

namespace vesk {

// Reads a run of events like the last one, when the sink reads samples and the
// last one was large enough to gain from it. How many were read.
template <class Reader, class Sink>
std::uint64_t try_run(Reader& decoder, Sink& sink, std::uint64_t max_events, FillEnd& end)
{
    if constexpr (Sink::kReadsSamples) {
        if (sink.events() != 0 && sink.last_count() != 0) {
            return read_run(decoder, sink, sink.last_header(), sink.last_count(), max_events, end.error);
        }
    }
    return 0;
}

namespace detail {

// Before the event at the read position is read one by one: where its length
// is new to the file, or damage came right before it, the bytes at its end
// must bear that length out (see Resync::confirm). Nothing where the event is
// to be read; else where it starts and where reading goes on past it.
struct Unconfirmed {
    std::uint64_t start;
    std::optional<std::uint64_t> resume;  // nothing: the end of the bytes
    std::optional<std::uint64_t> file_end;
};
// `doubtful_end`: the event is read on trust, though nothing at its end bears
// it out.
template <class Reader>
IoResult<std::optional<Unconfirmed>> check_length(Reader& decoder, FileProgress<Reader>& progress,
                                                  const FillLimits& limits,
                                                  std::optional<std::uint64_t> previous, bool& doubtful_end)
{
    doubtful_end = false;
    using Header = typename Reader::Header;
    using Answer = std::optional<Unconfirmed>;
    const std::optional<std::uint64_t> start = decoder.next_event_start();
    BufferedFile& file = decoder.file();
    if (!start) {
        return Answer();
    }
    // A stream may be live (a pipe, a terminal): looking past an event would
    // wait for bytes not yet written, and the event would come late. There a
    // length is checked against the bytes already held, never waiting for
    // more (unless the stream is known to hold all its bytes, or damage came
    // right before, where reading looks ahead anyway), and read on trust
    // where they cannot tell.
    const bool held_only = !file.seekable() && !limits.finite_stream && !progress.confirm_next;
    const auto size = static_cast<std::size_t>(decoder.header_bytes());
    const auto pad = static_cast<std::size_t>(*start - file.position());
    if (held_only && file.buffered() < pad + size) {
        return Answer();
    }
    std::byte bytes[kLargestHeaderBytes];
    if (file.buffered() >= pad + size) {
        std::memcpy(bytes, file.buffered_data() + pad, size);
    } else {
        if (!file.seekable()) {
            file.mark();  // a stream keeps what a look ahead reads
        }
        IoResult<std::size_t> got = file.peek(*start, bytes, size, kMaxResyncLookahead);
        if (!got.ok()) {
            // The decoder meets a read error itself, where it reads; only an
            // interruption ends the call here.
            return got.error().is_interrupted() ? IoResult<Answer>(got.error()) : IoResult<Answer>(Answer());
        }
        if (got.value() < size) {
            return Answer();  // the decoder meets the end itself
        }
    }
    Header header{};
    std::uint64_t count = 0;
    if (!decoder.decode_header(bytes, header, count)) {
        return Answer();
    }
    const std::uint64_t span = event_span(decoder, header, count);
    // A length the file has shown is believed where the header follows the
    // last good event as the file's events follow each other: a header read a
    // few bytes off the events can announce their length too.
    const Header* last = progress.watch.now().last();
    if (!progress.confirm_next && progress.spans.contains(span)
        && (last == nullptr || progress.watch.now().may_follow(*last, header))) {
        return Answer();
    }
    const std::optional<std::uint64_t> file_end = held_only ? file.known_size() : final_end(decoder, limits);
    if (file_end && (span > *file_end || *start > *file_end - span)) {
        if (!held_only) {
            return Answer();  // it runs past the end: met as such when read
        }
        // Met when read, a stream would have let go of the bytes after it:
        // good events there show it damaged now, while they are held.
        file.mark();
        IoResult<std::optional<std::uint64_t>> after = std::optional<std::uint64_t>();
        {
            const HeldOnly held(file, true);
            after = Resync<Reader>(decoder, progress.watch.now(), file_end)
                        .scan(*start + 1, UINT64_MAX, false, true);
        }
        if (!after.ok()) {
            return after.error().is_interrupted() ? IoResult<Answer>(after.error())
                                                  : IoResult<Answer>(Answer());
        }
        return after.value()
                   ? Answer(Unconfirmed{.start = *start, .resume = after.value(), .file_end = file_end})
                   : Answer();
    }
    const bool zero = all_zero(bytes, size);
    if (held_only && zero) {
        return Answer();  // looking past zeros lets bytes go (see Resync::scan)
    }
    if (!file.seekable()) {
        file.mark();
    }
    IoResult<typename Resync<Reader>::Verdict> verdict = typename Resync<Reader>::Verdict{};
    {
        const HeldOnly held(file, held_only);
        verdict = Resync<Reader>(decoder, progress.watch.now(), file_end)
                      .confirm(*start, header, zero, progress.confirm_next, span, progress.spans.last());
    }
    if (held_only) {
        // Only good events found where the bytes held show the length wrong;
        // all else is read on trust, as before any check.
        if (verdict.ok() && verdict.value().damaged && verdict.value().resume) {
            return Answer(
                Unconfirmed{.start = *start, .resume = verdict.value().resume, .file_end = file_end});
        }
        return verdict.ok() || !verdict.error().is_interrupted() ? IoResult<Answer>(Answer())
                                                                 : IoResult<Answer>(verdict.error());
    }
    if (!verdict.ok()) {
        // What cannot be looked at cannot bear the event out nor show it
        // wrong: it is read on trust, and a read error is met where it lies.
        return verdict.error().is_interrupted() ? IoResult<Answer>(verdict.error())
                                                : IoResult<Answer>(Answer());
    }
    // A file still being written may yet bring what bears the event out.
    if (!verdict.value().damaged || (limits.follow && !verdict.value().resume)) {
        doubtful_end = verdict.value().doubtful_end || verdict.value().damaged;
        if (verdict.value().doubtful_end && !limits.follow) {
            // Nothing bears it out, and good events that begin inside the
            // batch's last event would show that one's length wrong and this
            // one no event (see skip_unconfirmed).
            IoResult<std::optional<std::uint64_t>> inside =
                good_events_inside(decoder, progress, previous, *start, false, file_end);
            if (!inside.ok()) {
                return inside.error().is_interrupted() ? IoResult<Answer>(inside.error())
                                                       : IoResult<Answer>(Answer());
            }
            if (inside.value()) {
                doubtful_end = false;
                return Answer(Unconfirmed{.start = *start, .resume = inside.value(), .file_end = file_end});
            }
        }
        return Answer();
    }
    return Answer(Unconfirmed{.start = *start, .resume = verdict.value().resume, .file_end = file_end});
}

}  // namespace detail

// Steps the decoder into `sink` until a limit, the end, or a problem.
template <class Reader, FillSink<typename Reader::Header, typename Reader::Sample> Sink>
FillEnd fill(Reader& decoder, Sink& sink, FileProgress<Reader>& progress, const FillLimits& limits)
{
    FillEnd end;
    progress.at_end = false;
    BufferedFile& file = decoder.file();
    // Where the batch's last event starts, while the read position is where
    // it ends (a plain pair: GCC's uninitialised-use warning misfires on an
    // optional here).
    std::uint64_t last_start = 0;
    bool has_last = false;
    const auto previous = [&] { return has_last ? std::optional<std::uint64_t>(last_start) : std::nullopt; };
    const auto taken = [&] { return static_cast<std::uint64_t>(sink.events()); };
    const auto finish = [&](Outcome outcome) {
        end.outcome = outcome;
        if (taken() == 0) {
            end.first_index = end.stop_index = progress.events_read;
        }
        return std::move(end);
    };
    const auto may_take = [&] {
        return taken() < limits.max_events && progress.events_read < limits.stop_index;
    };
    // What skipping damage means for the loop: nothing (go on), or its end.
    // All that is decided about one damage is decided against one size of the
    // file: a file written meanwhile must not make a chain appear.
    const auto outcome_after = [&](detail::DamageSkip skip) -> std::optional<Outcome> {
        switch (skip) {
        case detail::DamageSkip::Error: return Outcome::Error;
        case detail::DamageSkip::OutOfMemory: return Outcome::OutOfMemory;
        case detail::DamageSkip::Wait: return Outcome::End;
        case detail::DamageSkip::Skipped:
            has_last = false;
            progress.confirm_next = true;
            progress.watch.gap();
            if (taken() == 0) {
                end.first_index = progress.events_read;
            }
            return limits.skip_damaged ? std::nullopt : std::optional<Outcome>(Outcome::Damaged);
        }
        return std::nullopt;
    };
    const auto skip_damage_at = [&](std::uint64_t start, bool damaged_header,
                                    std::optional<std::uint64_t> file_end) -> std::optional<Outcome> {
        return outcome_after(detail::skip_damage(decoder, sink, progress, limits, end, start, damaged_header,
                                                 previous(), file_end));
    };
    for (;;) {
        while (may_take()) {
            const std::uint64_t in_run =
                progress.confirm_next
                    ? 0
                    : try_run(decoder, sink,
                              std::min(limits.max_events - taken(), limits.stop_index - progress.events_read),
                              end);
            progress.events_read += in_run;
            if (end.error) {
                return finish(Outcome::Error);
            }
            if (in_run != 0) {
                if constexpr (Sink::kReadsSamples) {
                    last_start = file.position() - event_span(decoder, sink.last_header(), sink.last_count());
                    has_last = true;
                }
                end.stop_before_last = progress.events_read - 1;
                end.stop_index = progress.events_read;
                continue;  // another run may follow: from the file, once the buffer is used up
            }
            if constexpr (requires { sink.ensure_row(); }) {
                if (!sink.ensure_row()) {
                    return finish(Outcome::OutOfMemory);
                }
            }
            bool doubtful_end = false;
            IoResult<std::optional<detail::Unconfirmed>> checked =
                detail::check_length(decoder, progress, limits, previous(), doubtful_end);
            if (!checked.ok()) {
                end.error = checked.error();
                return finish(Outcome::Error);
            }
            if (const std::optional<detail::Unconfirmed>& unconfirmed = checked.value()) {
                const std::optional<Outcome> after = outcome_after(
                    detail::skip_unconfirmed(decoder, sink, progress, end, unconfirmed->start,
                                             unconfirmed->resume, previous(), unconfirmed->file_end));
                if (!after) {
                    continue;
                }
                return finish(*after == Outcome::End ? Outcome::Event : *after);
            }
            const std::uint64_t before = file.position();
            const Outcome outcome = decoder.next(sink);
            if (outcome == Outcome::Event) {
                if (const std::optional<std::uint64_t> next = decoder.next_event_start()) {
                    progress.spans.add(*next - decoder.event_start());
                }
                progress.confirm_next = doubtful_end;
                if (taken() == 1) {
                    end.first_index = progress.events_read;
                }
                end.stop_before_last = end.stop_index;
                ++progress.events_read;
                end.stop_index = progress.events_read;
                progress.trailing_bytes = 0;
                last_start = decoder.event_start();
                has_last = true;
                continue;
            }
            const std::optional<std::uint64_t> file_end = detail::final_end(decoder, limits);
            std::optional<std::uint64_t> damage_at;
            if (outcome == Outcome::Damaged) {
                damage_at = decoder.event_start();
            } else if (outcome == Outcome::End && file_end && file.position() < *file_end) {
                // Back at the event that ran past the end; against the size
                // just read it may fit now (a file written meanwhile): then
                // it is simply read.
                IoResult<std::optional<bool>> ahead =
                    Resync<Reader>(decoder, progress.watch.now(), file_end).damage_at(file.position());
                if (ahead.ok() && !ahead.value()) {
                    continue;
                }
                damage_at = file.position();
            }
            if (damage_at) {
                const std::optional<Outcome> after =
                    skip_damage_at(*damage_at, outcome == Outcome::Damaged, file_end);
                if (!after) {
                    continue;
                }
                if (*after != Outcome::End) {
                    return finish(*after);
                }
            }
            if (outcome == Outcome::End || damage_at) {
                // A regular file is back at the event it could not complete; a
                // stream has consumed what it held of it.
                if (file.seekable()) {
                    const std::uint64_t size = file_end ? *file_end : file.source().size().value_or(0);
                    progress.trailing_bytes = size > file.position() ? size - file.position() : 0;
                } else if (const std::uint64_t begun = std::max(before, decoder.event_start());
                           file.position() > begun) {
                    // A stream's end, once met, stays met; a pad byte dropped
                    // on the way belongs to the event before.
                    progress.trailing_bytes = file.position() - begun;
                }
                progress.at_end = true;
                return finish(Outcome::End);
            }
            if (outcome == Outcome::Error) {
                end.error = decoder.error();
            }
            if (outcome == Outcome::OutOfMemory) {
                ++progress.events_read;  // consumed whole: the next call reads the next event
            }
            return finish(outcome);
        }
        // A limit was reached. Damage right after the batch's last event may
        // show that event to be bad: look now, while it can be taken back.
        const std::optional<std::uint64_t> file_end = detail::final_end(decoder, limits);
        const std::optional<std::uint64_t> next = decoder.next_event_start();
        if (!has_last || !file_end || !next || *next >= *file_end) {
            return finish(Outcome::Event);
        }
        IoResult<std::optional<bool>> ahead =
            Resync<Reader>(decoder, progress.watch.now(), file_end).damage_at(*next);
        if (!ahead.ok()) {
            return finish(Outcome::Event);  // a read error is met again by the next call
        }
        if (!ahead.value()) {
            // So may a header that the bytes do not bear out.
            bool doubtful_end = false;
            IoResult<std::optional<detail::Unconfirmed>> checked =
                detail::check_length(decoder, progress, limits, previous(), doubtful_end);
            if (!checked.ok() || !checked.value()) {
                return finish(Outcome::Event);
            }
            const detail::Unconfirmed& unconfirmed = *checked.value();
            const std::optional<Outcome> after =
                outcome_after(detail::skip_unconfirmed(decoder, sink, progress, end, unconfirmed.start,
                                                       unconfirmed.resume, previous(), unconfirmed.file_end));
            if (after) {
                return finish(*after == Outcome::End ? Outcome::Event : *after);
            }
            continue;
        }
        decoder.file().mark();
        const std::optional<Outcome> after = skip_damage_at(*next, *ahead.value(), file_end);
        if (after) {
            return finish(*after == Outcome::End ? Outcome::Event : *after);
        }
    }
}

}  // namespace vesk
