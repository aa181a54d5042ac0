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
#include "event_runs.hpp"
#include "resync.hpp"

namespace vesk {

// Details are kept for this many damaged events of one call; more are counted.
inline constexpr std::size_t kMaxDamageRecords = 1000;

enum class DamageKind : std::uint8_t {
    Header,       // the header gives a length no memory can represent
    Overlong,     // its length runs past the end of the file, and good events follow
    Overlaps,     // good events begin inside it: its length was wrong
    Unconfirmed,  // a length new to the file, or right after damage, that nothing at its end bears out
};

struct Damage {
    std::uint64_t index;                     // the event's index in the file (damaged events count)
    std::uint64_t offset;                    // where its header starts
    std::uint64_t stop;                      // the end of the bytes skipped for it
    std::optional<std::uint64_t> resume_at;  // where reading went on; nothing: the end
    DamageKind kind;
};

// What a file has shown so far, kept between calls.
template <class Reader>
struct FileProgress {
    FieldWatch<typename Reader::Header> watch;
    SeenSpans spans;
    // Damage came right before the next event: its length is checked (see
    // check_length) whatever it is, and it is not read in a run.
    bool confirm_next = false;
    std::uint64_t events_read = 0;  // the index of the next event
    // Bytes after the last whole event, as of the last time the end was met.
    std::uint64_t trailing_bytes = 0;
    bool at_end = false;  // the last call met the end of the bytes
};

// How a fill ended.
struct FillEnd {
    Outcome outcome = Outcome::End;  // Event: a limit was reached
    std::uint64_t first_index = 0;   // the index of the batch's first event
    std::uint64_t stop_index = 0;    // just past the batch's last event
    std::uint64_t stop_before_last = 0;
    std::vector<Damage> damaged;  // the first kMaxDamageRecords
    std::uint64_t damaged_count = 0;
    SkippedRanges skipped;
    std::optional<IoError> error;
};

// The limits of one fill.
struct FillLimits {
    std::uint64_t max_events = UINT64_MAX;  // good events in the batch
    std::uint64_t stop_index = UINT64_MAX;  // no event from this index on
    bool skip_damaged = false;
    bool follow = false;  // the file may still grow: its end is not final
    // A stream that holds all its bytes already (decompressed from a regular
    // file, or in memory): looking ahead in it never waits for a writer.
    bool finite_stream = false;
};

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

// The size of a regular file that is not being followed: lengths must fit it.
template <class Reader>
std::optional<std::uint64_t> final_end(Reader& decoder, const FillLimits& limits)
{
    BufferedFile& file = decoder.file();
    if (limits.follow || !file.seekable()) {
        return std::nullopt;
    }
    return file.source().size();
}

enum class Settled : std::uint8_t { Skipped, Wait, Error, OutOfMemory };

// Where good events begin inside the batch's last event, which starts at
// `previous` and ends at `start`, where damage lies: then its length was wrong
// (a cut or overwritten file). Nothing where none do, or where a stream has
// let those bytes go. `suspect`: what lies at `start` already casts doubt on
// that event, so that a single header ending the file suffices.
template <class Reader>
IoResult<std::optional<std::uint64_t>>
good_events_inside(Reader& decoder, const FileProgress<Reader>& progress,
                   std::optional<std::uint64_t> previous, std::uint64_t start, bool suspect,
                   std::optional<std::uint64_t> file_end)
{
    if (!previous || !decoder.file().seekable()) {
        return std::optional<std::uint64_t>();
    }
    // So is an event that does not agree with the good ones before it.
    const auto& before = progress.watch.before_last();
    const auto* last = progress.watch.now().last();
    suspect =
        suspect || (before.last() != nullptr && last != nullptr && !before.may_follow(*before.last(), *last));
    IoResult<std::optional<std::uint64_t>> inside =
        Resync<Reader>(decoder, before, file_end).scan(*previous + 1, start, !suspect);
    if (!inside.ok() || !inside.value() || *inside.value() < start) {
        return inside;
    }
    return std::optional<std::uint64_t>();
}

// The batch's last event, from `previous` on, was found damaged: it is taken
// back out, and the damage recorded from there.
template <class Reader, class Sink>
void take_back_last(Sink& sink, FileProgress<Reader>& progress, FillEnd& end)
{
    end.stop_index = end.stop_before_last;
    sink.uncommit_last();
    --progress.events_read;  // that event is the damaged one
}

// Damage at `start`: a damaged header, or an event that runs past the end of
// the file. Records what is skipped and goes on at the next good event.
// `previous` is where the batch's last event starts when it ends at `start`:
// when good events begin inside it, its length was wrong (a cut or
// overwritten file), and it is taken back out of the batch as damaged.
// Wait: nothing shows it is damage (a truncated last event, or a file still
// being written); the reader stays at `start`.
template <class Reader, class Sink>
Settled settle_damage(Reader& decoder, Sink& sink, FileProgress<Reader>& progress, const FillLimits& limits,
                      FillEnd& end, std::uint64_t start, bool damaged_header,
                      std::optional<std::uint64_t> previous, std::optional<std::uint64_t> file_end)
{
    try {
        // Room for the records first: once the reader has moved past the
        // damage, recording it must not fail.
        end.skipped.reserve_one();
        end.damaged.reserve(kMaxDamageRecords);
    } catch (const std::bad_alloc&) {
        (void)decoder.resume_at(start);  // the next call meets this damage again
        return Settled::OutOfMemory;
    }
    const auto failed = [&](const IoError& error) {
        end.error = error;
        (void)decoder.resume_at(start);  // the next call meets this damage again
        return Settled::Error;
    };
    // An event that runs past the end is damage only when good events follow
    // it, or begin inside the event before it; else it is a truncated last
    // event, as an event-by-event reader has it.
    std::optional<std::uint64_t> resume;
    // The last event is suspect where its length, running past the end,
    // brought it onto a header that does not go on from it.
    bool suspect = false;
    if (!damaged_header) {
        IoResult<std::optional<std::uint64_t>> after =
            Resync<Reader>(decoder, progress.watch.now(), file_end).scan(start + 1);
        if (!after.ok()) {
            return failed(after.error());
        }
        resume = after.value();
        if (!resume && previous) {
            IoResult<bool> goes_on =
                Resync<Reader>(decoder, progress.watch.now(), file_end).goes_on_at(start);
            if (!goes_on.ok()) {
                return failed(goes_on.error());
            }
            suspect = !goes_on.value();
        }
        if (!resume && !suspect) {
            if (IoStatus status = decoder.resume_at(start); !status.ok()) {
                end.error = status.error();
                return Settled::Error;
            }
            return Settled::Wait;
        }
    }
    IoResult<std::optional<std::uint64_t>> inside =
        good_events_inside(decoder, progress, previous, start, suspect, file_end);
    if (!inside.ok()) {
        return failed(inside.error());
    }
    const bool previous_bad = inside.value().has_value();
    if (previous_bad) {
        resume = inside.value();
    }
    if (damaged_header && !previous_bad) {
        IoResult<std::optional<std::uint64_t>> found =
            Resync<Reader>(decoder, progress.watch.now(), file_end).after_damaged_header(start);
        if (found.ok() && !found.value()) {
            found = Resync<Reader>(decoder, progress.watch.now(), file_end).scan(start + 1);
        }
        if (!found.ok()) {
            return failed(found.error());
        }
        resume = found.value();
    }
    if (!resume && (!damaged_header || limits.follow)) {
        if (IoStatus status = decoder.resume_at(start); !status.ok()) {
            end.error = status.error();
            return Settled::Error;
        }
        return Settled::Wait;
    }
    // Without a good event after it, the damage reaches the end of the bytes.
    const std::uint64_t stop = resume ? *resume : file_end ? *file_end : decoder.file().read_end();
    if (IoStatus status = decoder.resume_at(stop); !status.ok()) {
        end.error = status.error();
        return Settled::Error;
    }
    if (previous_bad) {
        take_back_last(sink, progress, end);
        start = *previous;
    }
    if (end.damaged.size() < kMaxDamageRecords) {
        end.damaged.push_back(Damage{.index = progress.events_read,
                                     .offset = start,
                                     .stop = stop,
                                     .resume_at = resume,
                                     .kind = previous_bad     ? DamageKind::Overlaps
                                             : damaged_header ? DamageKind::Header
                                                              : DamageKind::Overlong});
    }
    ++end.damaged_count;
    end.skipped.add(start, stop);
    ++progress.events_read;
    return Settled::Skipped;
}

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
    std::byte bytes[32];
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

// The event at `start` is not believed (see check_length): its bytes up to
// `resume` (nothing: the end of the bytes) are skipped. Where good events
// begin inside the batch's last event (from `previous`), that event's length
// was wrong, and it is skipped up to them instead.
template <class Reader, class Sink>
Settled skip_unconfirmed(Reader& decoder, Sink& sink, FileProgress<Reader>& progress, FillEnd& end,
                         std::uint64_t start, std::optional<std::uint64_t> resume,
                         std::optional<std::uint64_t> previous, std::optional<std::uint64_t> file_end)
{
    try {
        end.skipped.reserve_one();
        end.damaged.reserve(kMaxDamageRecords);
    } catch (const std::bad_alloc&) {
        (void)decoder.resume_at(start);
        return Settled::OutOfMemory;
    }
    IoResult<std::optional<std::uint64_t>> inside =
        good_events_inside(decoder, progress, previous, start, false, file_end);
    if (!inside.ok()) {
        end.error = inside.error();
        (void)decoder.resume_at(start);  // the next call meets this event again
        return Settled::Error;
    }
    const bool previous_bad = inside.value().has_value();
    if (previous_bad) {
        resume = inside.value();
    }
    const std::uint64_t stop = resume ? *resume : file_end ? *file_end : decoder.file().read_end();
    if (IoStatus status = decoder.resume_at(stop); !status.ok()) {
        end.error = status.error();
        return Settled::Error;
    }
    if (previous_bad) {
        take_back_last(sink, progress, end);
        start = *previous;
    }
    if (end.damaged.size() < kMaxDamageRecords) {
        end.damaged.push_back(Damage{.index = progress.events_read,
                                     .offset = start,
                                     .stop = stop,
                                     .resume_at = resume,
                                     .kind = previous_bad ? DamageKind::Overlaps : DamageKind::Unconfirmed});
    }
    ++end.damaged_count;
    end.skipped.add(start, stop);
    ++progress.events_read;
    return Settled::Skipped;
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
    // What settling damage means for the loop: nothing (go on), or its end.
    // All that is decided about one damage is decided against one size of the
    // file: a file written meanwhile must not make a chain appear.
    const auto settled_as = [&](detail::Settled settled) -> std::optional<Outcome> {
        switch (settled) {
        case detail::Settled::Error: return Outcome::Error;
        case detail::Settled::OutOfMemory: return Outcome::OutOfMemory;
        case detail::Settled::Wait: return Outcome::End;
        case detail::Settled::Skipped:
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
    const auto settle = [&](std::uint64_t start, bool damaged_header,
                            std::optional<std::uint64_t> file_end) -> std::optional<Outcome> {
        return settled_as(detail::settle_damage(decoder, sink, progress, limits, end, start, damaged_header,
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
                const std::optional<Outcome> settled = settled_as(
                    detail::skip_unconfirmed(decoder, sink, progress, end, unconfirmed->start,
                                             unconfirmed->resume, previous(), unconfirmed->file_end));
                if (!settled) {
                    continue;
                }
                return finish(*settled == Outcome::End ? Outcome::Event : *settled);
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
                const std::optional<Outcome> settled =
                    settle(*damage_at, outcome == Outcome::Damaged, file_end);
                if (!settled) {
                    continue;
                }
                if (*settled != Outcome::End) {
                    return finish(*settled);
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
            const std::optional<Outcome> settled =
                settled_as(detail::skip_unconfirmed(decoder, sink, progress, end, unconfirmed.start,
                                                    unconfirmed.resume, previous(), unconfirmed.file_end));
            if (settled) {
                return finish(*settled == Outcome::End ? Outcome::Event : *settled);
            }
            continue;
        }
        decoder.file().mark();
        const std::optional<Outcome> settled = settle(*next, *ahead.value(), file_end);
        if (settled) {
            return finish(*settled == Outcome::End ? Outcome::Event : *settled);
        }
    }
}

}  // namespace vesk
