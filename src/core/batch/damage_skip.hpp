// Skipping damage while a batch is filled (see batch_fill.hpp): what is
// skipped is recorded, reading goes on at the next good event (see
// resync.hpp), and an event before the damage that good events begin inside
// is taken back out of the batch.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>

#include "fill_state.hpp"
#include "resync.hpp"

namespace vesk::detail {

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

// How skipping damage ended: skipped, reading goes on; no damage after all,
// the reader waits where it is; or a problem.
enum class DamageSkip : std::uint8_t { Skipped, Wait, Error, OutOfMemory };

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

// Reading goes on at `resume` (nothing: the end of the bytes) past damage
// from `start`, or from `taken_back_from`, where the batch's last event is
// taken back as damaged too; the damage is recorded as of `kind`. Room for
// the records was made beforehand, so that recording cannot fail.
template <class Reader, class Sink>
DamageSkip record_skip(Reader& decoder, Sink& sink, FileProgress<Reader>& progress, FillEnd& end,
                       std::uint64_t start, std::optional<std::uint64_t> resume,
                       std::optional<std::uint64_t> file_end, std::optional<std::uint64_t> taken_back_from,
                       DamageKind kind)
{
    const std::uint64_t stop = resume ? *resume : file_end ? *file_end : decoder.file().read_end();
    if (IoStatus status = decoder.resume_at(stop); !status.ok()) {
        end.error = status.error();
        return DamageSkip::Error;
    }
    if (taken_back_from) {
        take_back_last(sink, progress, end);
        start = *taken_back_from;
    }
    if (end.damaged.size() < kMaxDamageRecords) {
        end.damaged.push_back(Damage{
            .index = progress.events_read, .offset = start, .stop = stop, .resume_at = resume, .kind = kind});
    }
    ++end.damaged_count;
    end.skipped.add(start, stop);
    ++progress.events_read;
    return DamageSkip::Skipped;
}

// Damage at `start`: a damaged header, or an event that runs past the end of
// the file. Records what is skipped and goes on at the next good event.
// `previous` is where the batch's last event starts when it ends at `start`:
// when good events begin inside it, its length was wrong (a cut or
// overwritten file), and it is taken back out of the batch as damaged.
// Wait: nothing shows it is damage (a truncated last event, or a file still
// being written); the reader stays at `start`.
template <class Reader, class Sink>
DamageSkip skip_damage(Reader& decoder, Sink& sink, FileProgress<Reader>& progress, const FillLimits& limits,
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
        return DamageSkip::OutOfMemory;
    }
    const auto failed = [&](const IoError& error) {
        end.error = error;
        (void)decoder.resume_at(start);  // the next call meets this damage again
        return DamageSkip::Error;
    };
    // An event that runs past the end is damage only when good events follow
    // it; else it is a truncated last event, as an event-by-event reader has it.
    std::optional<std::uint64_t> resume;
    if (!damaged_header) {
        IoResult<std::optional<std::uint64_t>> after =
            Resync<Reader>(decoder, progress.watch.now(), file_end).scan(start + 1);
        if (!after.ok()) {
            return failed(after.error());
        }
        if (!after.value()) {
            if (IoStatus status = decoder.resume_at(start); !status.ok()) {
                end.error = status.error();
                return DamageSkip::Error;
            }
            return DamageSkip::Wait;
        }
        resume = after.value();
    }
    IoResult<std::optional<std::uint64_t>> inside =
        good_events_inside(decoder, progress, previous, start, false, file_end);
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
            return DamageSkip::Error;
        }
        return DamageSkip::Wait;
    }
    return record_skip(decoder, sink, progress, end, start, resume, file_end,
                       previous_bad ? previous : std::nullopt,
                       previous_bad     ? DamageKind::Overlaps
                       : damaged_header ? DamageKind::Header
                                        : DamageKind::Overlong);
}

// The event at `start` is not believed (see check_length): its bytes up to
// `resume` (nothing: the end of the bytes) are skipped. Where good events
// begin inside the batch's last event (from `previous`), that event's length
// was wrong, and it is skipped up to them instead.
template <class Reader, class Sink>
DamageSkip skip_unconfirmed(Reader& decoder, Sink& sink, FileProgress<Reader>& progress, FillEnd& end,
                            std::uint64_t start, std::optional<std::uint64_t> resume,
                            std::optional<std::uint64_t> previous, std::optional<std::uint64_t> file_end)
{
    try {
        end.skipped.reserve_one();
        end.damaged.reserve(kMaxDamageRecords);
    } catch (const std::bad_alloc&) {
        (void)decoder.resume_at(start);
        return DamageSkip::OutOfMemory;
    }
    IoResult<std::optional<std::uint64_t>> inside =
        good_events_inside(decoder, progress, previous, start, false, file_end);
    if (!inside.ok()) {
        end.error = inside.error();
        (void)decoder.resume_at(start);  // the next call meets this event again
        return DamageSkip::Error;
    }
    const bool previous_bad = inside.value().has_value();
    if (previous_bad) {
        resume = inside.value();
    }
    return record_skip(decoder, sink, progress, end, start, resume, file_end,
                       previous_bad ? previous : std::nullopt,
                       previous_bad ? DamageKind::Overlaps : DamageKind::Unconfirmed);
}

}  // namespace vesk::detail
