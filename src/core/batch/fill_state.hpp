// What a fill keeps between calls and what it reports: the damage met, the
// bytes skipped, the lengths of the good events.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "decoder.hpp"
#include "field_watch.hpp"
#include "io_error.hpp"

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

// Byte ranges skipped, in file order, adjacent ones merged.
// The first kMaxRanges are kept; all are counted in bytes().
class SkippedRanges {
public:
    static constexpr std::size_t kMaxRanges = kMaxDamageRecords;

    void add(std::uint64_t start, std::uint64_t stop)
    {
        if (start >= stop) {
            return;
        }
        bytes_ += stop - start;
        if (!ranges_.empty() && ranges_.back().second == start) {
            ranges_.back().second = stop;
        } else if (ranges_.size() < kMaxRanges) {
            ranges_.emplace_back(start, stop);
        }
    }
    // Room for one more range, so that add() then cannot fail.
    void reserve_one()
    {
        if (ranges_.size() == ranges_.capacity() && ranges_.size() < kMaxRanges) {
            ranges_.reserve(std::min(kMaxRanges, std::max<std::size_t>(16, 2 * ranges_.capacity())));
        }
    }
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges() const { return ranges_; }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
    std::uint64_t bytes_ = 0;
};

// The lengths of the good events met so far: a few of them, and the last.
class SeenSpans {
public:
    bool contains(std::uint64_t span) const
    {
        return std::find(spans_, spans_ + count_, span) != spans_ + count_;
    }
    void add(std::uint64_t span)
    {
        last_ = span;
        if (!contains(span)) {
            spans_[next_] = span;
            next_ = (next_ + 1) % kKept;
            count_ = std::min(count_ + 1, kKept);
        }
    }
    // The length of the last good event: a file's steady length, as far as
    // it has one.
    std::optional<std::uint64_t> last() const { return last_; }

private:
    static constexpr std::size_t kKept = 8;
    std::uint64_t spans_[kKept] = {};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    std::optional<std::uint64_t> last_;
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

}  // namespace vesk
