// Finding the next good event after damage. A damaged header says nothing
// trustworthy about where the next event starts, so the bytes that follow are
// never decoded as a header on trust: reading goes on where a header is
// plausible, and, unless the bytes right after the damaged header hold one,
// where a chain of plausible headers begins.
//
// Plausible means: the length fits what the file holds, and the fields that
// the file's good events have kept steady agree (WD1: the board; WD2: the
// sampling period and the channel field), with counters that rise where the
// good events' counters rose. A field that varied between good events is not
// relied on: some writers leave counters at 0 or number boards per event.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "little_endian.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

// How far a stream is read ahead of a candidate to check its chain. Events
// larger than a third of it cannot be found again on a stream.
inline constexpr std::uint64_t kMaxResyncLookahead = std::uint64_t{64} << 20;
// Headers that must chain before a scan trusts them (fewer when the last
// of them ends exactly at the end of the file).
inline constexpr int kChainLength = 3;

// Zero-filled headers (a zeroed page, a preallocated file's unwritten tail)
// are never taken for events where anything is in doubt: their runs would be
// chains of empty events that no writer meant.
inline bool all_zero(const std::byte* bytes, std::size_t n)
{
    return n != 0 && bytes[0] == std::byte{0} && std::memcmp(bytes, bytes + 1, n - 1) == 0;
}

// A field's little-endian bytes at an offset into every plausible header.
struct Marker {
    std::byte bytes[8] = {};
    std::size_t size = 0;  // 0: none
    std::size_t offset = 0;
    std::size_t rare = 8;  // the first byte that is not zero, if any

    template <class Word>
    static Marker of(Word value, std::size_t offset)
    {
        Marker marker;
        for (std::size_t i = 0; i < sizeof(Word); ++i) {
            marker.bytes[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
        }
        marker.size = sizeof(Word);
        marker.offset = offset;
        for (std::size_t i = sizeof(Word); i-- > 0;) {
            if (marker.bytes[i] != std::byte{0}) {
                marker.rare = i;
            }
        }
        return marker;
    }
};

// How the counters of a file's good events have moved: by one steady step
// (most writers count by one, a filtered file by its stride, some writers
// leave them at 0), merely rising, or neither.
class CounterSteps {
public:
    void see(std::uint32_t counter)
    {
        if (seen_ != 0 && !gap_) {
            const std::uint32_t step = counter - last_;
            steady_ = seen_ == 1 || (steady_ && step == step_);
            step_ = step;
            rise_ &= rises(last_, counter);
        }
        last_ = counter;
        seen_ = std::min(seen_ + (gap_ ? 0 : 1), 2);
        gap_ = false;
    }
    // Damage lies between the last event seen and the next: no step is
    // learnt across it.
    void gap() { gap_ = seen_ != 0; }
    // The step every good event has taken so far, once there were two.
    std::optional<std::uint32_t> steady_step() const
    {
        return seen_ == 2 && steady_ ? std::optional<std::uint32_t>(step_) : std::nullopt;
    }
    // Whether `next` may come after `previous` within a chain.
    bool may_follow(std::uint32_t previous, std::uint32_t next) const
    {
        if (seen_ < 2) {
            return true;  // a chain then keeps a steady step of its own (see Resync)
        }
        if (steady_) {
            return next - previous == step_;
        }
        return !rise_ || rises(previous, next);
    }
    bool known() const { return seen_ == 2; }

private:
    std::uint32_t last_ = 0;
    std::uint32_t step_ = 0;
    int seen_ = 0;
    bool steady_ = true;
    bool rise_ = true;
    bool gap_ = false;
};

inline std::uint32_t counter_of(const WD1Header& header)
{
    return static_cast<std::uint32_t>(header.event_counter);
}
inline std::uint32_t counter_of(const WD2Header& header)
{
    return header.event_counter;
}

// What the good events of a file have shown about the fields a scan may rely
// on; learns from every good event.
template <class Header>
class FieldState;

template <>
class FieldState<WD1Header> {
public:
    void see(const WD1Header& header)
    {
        if (seen_) {
            board_varies_ |= header.board_id != last_.board_id;
        }
        counters_.see(counter_of(header));
        last_ = header;
        seen_ = true;
    }
    // Whether `next` has the fields of `previous` that the file keeps steady.
    bool agrees(const WD1Header& previous, const WD1Header& next) const
    {
        return board_varies_ || next.board_id == previous.board_id;
    }
    // Whether `next` may come after `previous` in this file.
    bool may_follow(const WD1Header& previous, const WD1Header& next) const
    {
        return agrees(previous, next) && counters_.may_follow(counter_of(previous), counter_of(next));
    }
    // A quick test of the raw header at `bytes` against the last good event:
    // false only where may_follow would be false.
    bool may_match(const std::byte* bytes) const
    {
        return !seen_ || board_varies_
               || load_little_endian<std::uint32_t>(bytes + 4) == static_cast<std::uint32_t>(last_.board_id);
    }
    // The bytes every plausible header holds at a fixed place, if any: a
    // scan looks for them first.
    Marker marker() const
    {
        if (!seen_ || board_varies_) {
            return {};
        }
        return Marker::of(static_cast<std::uint32_t>(last_.board_id), 4);
    }
    const WD1Header* last() const { return seen_ ? &last_ : nullptr; }
    const CounterSteps& counters() const { return counters_; }
    void gap() { counters_.gap(); }

private:
    WD1Header last_{};
    bool seen_ = false;
    bool board_varies_ = false;
    CounterSteps counters_;
};

template <>
class FieldState<WD2Header> {
public:
    void see(const WD2Header& header)
    {
        if (seen_) {
            period_varies_ |= header.sampling_period != last_.sampling_period;
            channels_vary_ |= header.channels != last_.channels;
        }
        counters_.see(header.event_counter);
        last_ = header;
        seen_ = true;
    }
    bool agrees(const WD2Header& previous, const WD2Header& next) const
    {
        return (period_varies_ || next.sampling_period == previous.sampling_period)
               && (channels_vary_ || next.channels == previous.channels);
    }
    bool may_follow(const WD2Header& previous, const WD2Header& next) const
    {
        return agrees(previous, next) && counters_.may_follow(previous.event_counter, next.event_counter);
    }
    bool may_match(const std::byte* bytes) const
    {
        return !seen_ || period_varies_
               || load_little_endian<std::uint64_t>(bytes + 16) == last_.sampling_period;
    }
    Marker marker() const
    {
        if (!seen_ || period_varies_) {
            return {};
        }
        return Marker::of(last_.sampling_period, 16);
    }
    const WD2Header* last() const { return seen_ ? &last_ : nullptr; }
    const CounterSteps& counters() const { return counters_; }
    void gap() { counters_.gap(); }

private:
    WD2Header last_{};
    bool seen_ = false;
    bool period_varies_ = false;
    bool channels_vary_ = false;
    CounterSteps counters_;
};

// A FieldState that can forget the last event it saw (an event found to
// overlap good events that follow, and so not good itself).
template <class Header>
class FieldWatch {
public:
    void see(const Header& header)
    {
        before_last_ = now_;
        now_.see(header);
    }
    void see_all(const Header* headers, std::size_t n)
    {
        if (n == 0) {
            return;
        }
        for (std::size_t i = 0; i + 1 < n; ++i) {
            now_.see(headers[i]);
        }
        see(headers[n - 1]);
    }
    void forget_last() { now_ = before_last_; }
    void gap() { now_.gap(); }
    const FieldState<Header>& now() const { return now_; }
    const FieldState<Header>& before_last() const { return before_last_; }

private:
    FieldState<Header> now_;
    FieldState<Header> before_last_;
};

// Byte ranges skipped, in file order, adjacent ones merged.
// The first kMaxRanges are kept; all are counted in bytes().
class SkippedRanges {
public:
    static constexpr std::size_t kMaxRanges = 1000;

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

// Bytes an event takes in the file, header and pad byte included.
template <class Reader>
std::uint64_t event_span(const Reader& reader, const typename Reader::Header& header, std::uint64_t count)
{
    std::uint64_t span = reader.header_bytes() + count * sizeof(typename Reader::Sample);
    if constexpr (std::is_same_v<Reader, WD1Reader>) {
        span += header.event_size >= 25 && (header.event_size & 1) != 0 ? 1 : 0;
    }
    return span;
}

// Looks for where reading can go on. `end` is the size of a regular file that
// is not being written (lengths must fit it); nothing for a stream or a file
// being followed, where the end is only where the bytes stop for now.
template <class Reader>
class Resync {
public:
    using Header = typename Reader::Header;

    Resync(Reader& reader, const FieldState<Header>& watch, std::optional<std::uint64_t> end)
        : reader_(reader), watch_(watch), end_(end)
    {
    }

    // After a damaged header at `damaged`: the next header that is plausible
    // on its own, past any damaged headers right after this one (only headers
    // were damaged: what an event-by-event reader reads on to). Nothing when
    // there is none there.
    IoResult<std::optional<std::uint64_t>> after_damaged_header(std::uint64_t damaged)
    {
        std::uint64_t next = damaged + reader_.header_bytes();
        for (int walked = 0; walked < kMaxWalk; ++walked, next += reader_.header_bytes()) {
            IoResult<Sighting> seen = sight(next);
            if (!seen.ok()) {
                return seen.error();
            }
            if (seen.value() == Sighting::Plausible) {
                return std::optional<std::uint64_t>(next);
            }
            if (seen.value() != Sighting::Damaged) {
                break;
            }
        }
        return std::optional<std::uint64_t>();
    }

    // Whether the header at `offset` goes on from the last good event as the
    // file's events go on from each other (so, without one, whether it is
    // whole and undamaged).
    IoResult<bool> goes_on_at(std::uint64_t offset)
    {
        auto head = header_at(offset);
        if (!head.ok()) {
            return head.error();
        }
        const Header* last = watch_.last();
        return head.value() && (last == nullptr || watch_.may_follow(*last, head.value()->first));
    }

    // Whether the header at `offset` is damaged (true), runs past the end of
    // the file (false), or neither (nothing).
    IoResult<std::optional<bool>> damage_at(std::uint64_t offset)
    {
        IoResult<Peeked> peeked = peek_header(offset);
        if (!peeked.ok()) {
            return peeked.error();
        }
        const Peeked& at = peeked.value();
        if (!at.whole) {
            // Part of a header at the end of a file that is complete.
            return end_ && at.got != 0 ? std::optional<bool>(false) : std::optional<bool>();
        }
        if (!at.decoded) {
            return std::optional<bool>(true);
        }
        if (end_ && !fits(offset, event_span(reader_, at.header, at.count), offset)) {
            return std::optional<bool>(false);
        }
        return std::optional<bool>();
    }

    // The first offset from `from` on (and before `until`) where a chain begins.
    // Strict: a single header that ends where the bytes end is not enough (to
    // find that an event already read was cut short, the evidence must be
    // stronger than for where to go on).
    // `hold`: a stream keeps all it reads ahead (so that reading can still go
    // back to `from`), and the scan ends where it could keep no more.
    IoResult<std::optional<std::uint64_t>> scan(std::uint64_t from, std::uint64_t until = UINT64_MAX,
                                                bool strict = false, bool hold = false)
    {
        const auto header_size = static_cast<std::size_t>(reader_.header_bytes());
        std::unique_ptr<std::byte[]> chunk(new (std::nothrow) std::byte[kChunk + 32]);
        if (!chunk) {
            return IoError::os(ENOMEM);
        }
        std::uint64_t at = from;
        for (;;) {
            if (!file().seekable() && !hold) {
                // A stream keeps what it reads ahead from its mark: move the
                // mark along, so that a long damaged stretch is not kept.
                if (IoStatus status = file().mark_at(at); !status.ok()) {
                    return status.error();
                }
            }
            if (at >= until) {
                return std::optional<std::uint64_t>();
            }
            // Near `until` (a look inside one event) read no more than needed.
            const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, until - at));
            IoResult<std::size_t> got = file().peek(at, chunk.get(), wanted + header_size - 1,
                                                    hold ? kMaxResyncLookahead : kChunk + 32);
            if (!got.ok()) {
                if (hold && got.error().kind() == IoError::Kind::StreamTooLarge) {
                    return std::optional<std::uint64_t>();
                }
                return got.error();
            }
            if (got.value() < header_size) {
                return std::optional<std::uint64_t>();
            }
            const auto candidates =
                static_cast<std::size_t>(std::min<std::uint64_t>(got.value() - header_size + 1, until - at));
            const Marker marker = watch_.marker();
            for (std::size_t i = 0; i < candidates; ++i) {
                if (marker.rare < marker.size) {
                    // Straight to the next place where the steady field's
                    // least common byte (not zero) occurs: memchr runs at
                    // memory speed.
                    const std::size_t lead = marker.offset + marker.rare;
                    const std::byte* from_byte = chunk.get() + i + lead;
                    const void* hit = std::memchr(from_byte, std::to_integer<int>(marker.bytes[marker.rare]),
                                                  candidates - i);
                    if (hit == nullptr) {
                        break;
                    }
                    i = static_cast<std::size_t>(static_cast<const std::byte*>(hit) - chunk.get()) - lead;
                }
                if (all_zero(chunk.get() + i, header_size)) {
                    // No header lies wholly inside zeros: on to the first
                    // window that holds a byte that is not 0.
                    const std::size_t nonzero =
                        first_nonzero(chunk.get() + i + header_size, candidates - 1 - i);
                    i += nonzero;  // the loop's step brings the window onto that byte
                    continue;
                }
                if (!candidate(chunk.get() + i, at + i)) {
                    continue;
                }
                IoResult<Chain> chained = chain_from(at + i, kChainLength);
                if (!chained.ok()) {
                    return chained.error();
                }
                if (trusted(chained.value(), strict)) {
                    IoResult<std::uint64_t> best = best_chain_near(at + i, strict);
                    if (!best.ok()) {
                        return best.error();
                    }
                    return std::optional<std::uint64_t>(best.value());
                }
            }
            at += candidates;
        }
    }

    // What the bytes say of the event at `offset` (its header `header`,
    // `span` bytes long), read where its length is new to the file or right
    // after damage: whether its length is to be believed, and if not, where
    // reading goes on (nothing: nowhere before the end of the bytes).
    struct Verdict {
        bool damaged = false;
        std::optional<std::uint64_t> resume;
        // Read on trust although nothing at its end bears it out: the next
        // event is in doubt as one right after damage is.
        bool doubtful_end = false;
    };
    // `zero`: the header's bytes are all 0; `after_damage`: reading went on
    // there after damage.
    IoResult<Verdict> confirm(std::uint64_t offset, const Header& header, bool zero, bool after_damage,
                              std::uint64_t span, std::optional<std::uint64_t> steady_span)
    {
        IoResult<Ending> ending = ending_at(offset + span, header);
        if (!ending.ok()) {
            return ending.error();
        }
        const std::optional<std::uint32_t> step = watch_.counters().steady_step();
        const Ending& own = ending.value();
        // The next event, where the counters say so: the common case of
        // events whose lengths vary, settled with one look. (Counters that
        // stand still say nothing.)
        if (own.kind == Ending::Follows && step && *step != 0
            && counter_of(*own.next) - counter_of(header) == *step) {
            return Verdict{};
        }
        // A length that differs from the steady one may be a damaged one:
        // does a chain begin where an event of the steady length would end?
        if (steady_span && *steady_span != span) {
            const auto counts_on = [&](const Header& next) {
                return step && *step != 0 && counter_of(next) - counter_of(header) == *step;
            };
            IoResult<std::optional<Header>> steady = chain_head(offset + *steady_span, offset, counts_on);
            if (!steady.ok()) {
                return steady.error();
            }
            if (const std::optional<Header>& next = steady.value()) {
                // Good events that begin inside it show its length wrong,
                // as do counters that go on there.
                const bool counted = counts_on(*next);
                if (span > *steady_span || own.kind == Ending::Unlikely || own.kind == Ending::Unknown
                    || counted) {
                    // Reading goes on at the first good event, which may
                    // begin before that chain where lengths vary.
                    IoResult<std::optional<std::uint64_t>> first =
                        scan(offset + 1, offset + *steady_span, false, true);
                    if (!first.ok()) {
                        return first.error();
                    }
                    const std::uint64_t resume = first.value()
                                                     ? std::min(*first.value(), offset + *steady_span)
                                                     : offset + *steady_span;
                    return Verdict{.damaged = true, .resume = resume};
                }
            }
        }
        if (!steady_span) {
            // The file's first event: nothing to compare its length with.
            // Events of one length that begin inside it, the first where an
            // event of theirs would end, show its length wrong (chains a few
            // bytes off the events of a file that repeats itself do not).
            // Only its first bytes are looked at: a first event that large
            // is not read whole for this where only headers are wanted.
            const std::uint64_t until = offset + std::min<std::uint64_t>(span, kFirstEventScan);
            for (std::uint64_t from = offset + 1; from < until;) {
                IoResult<std::optional<std::uint64_t>> inside = scan(from, until, false, true);
                if (!inside.ok()) {
                    return inside.error();
                }
                if (!inside.value()) {
                    break;
                }
                const std::uint64_t at = *inside.value();
                if (at >= offset + span) {
                    break;  // where it ends, as its length says
                }
                auto head = header_at(at);
                if (!head.ok()) {
                    return head.error();
                }
                if (head.value()
                    && event_span(reader_, head.value()->first, head.value()->second) == at - offset) {
                    return Verdict{.damaged = true, .resume = at};
                }
                from = at + 1;
            }
        }
        if (own.kind == Ending::Unknown && !end_ && steady_span) {
            // A stream's length that runs further than it may read ahead, or
            // past its end: damage where good events begin inside it.
            IoResult<std::optional<std::uint64_t>> inside = scan(offset + 1, offset + span, false, true);
            if (!inside.ok()) {
                return inside.error();
            }
            return inside.value() && *inside.value() < offset + span
                       ? Verdict{.damaged = true, .resume = inside.value()}
                       : Verdict{};
        }
        // A next header with the file's fields whose counter does not go on
        // from this one's as the file's counters do may be one of a chain
        // read a few bytes off the events, where a cut left it: such a chain
        // repeats the events' length and may repeat their fields, but not
        // their counters, and the events' own chain begins inside it (where
        // this header does not go on from the last good event either, a
        // single event that ends the bytes will do).
        if (own.kind == Ending::Follows && !watch_.may_follow(header, *own.next)) {
            const Header* last = watch_.last();
            const bool strict = last == nullptr || watch_.may_follow(*last, header);
            IoResult<std::optional<std::uint64_t>> inside = scan(offset + 1, offset + span, strict, true);
            if (!inside.ok()) {
                return inside.error();
            }
            return inside.value() && *inside.value() < offset + span
                       ? Verdict{.damaged = true, .resume = inside.value()}
                       : Verdict{};
        }
        if (own.kind != Ending::Unlikely) {
            return Verdict{};
        }
        // A header that starts a chain of its own whose counters move on as
        // the file's do, or rise: the board or the sampling changed.
        FieldState<Header> nothing_seen;
        IoResult<Chain> chain = Resync(reader_, nothing_seen, end_).chain_from(offset + span, kChainLength);
        if (!chain.ok()) {
            return chain.error();
        }
        if (!zero && (chain.value().links >= kChainLength || chain.value().ends)) {
            auto next = header_at(offset + span);
            if (!next.ok()) {
                return next.error();
            }
            const std::uint32_t from = counter_of(header);
            const std::uint32_t to = next.value() ? counter_of(next.value()->first) : from;
            if ((step && to - from == *step) || rises(from, to)) {
                return Verdict{};
            }
        }
        // Nothing bears the length out. Zeros are damage. Right after damage,
        // where the event begins is in doubt too: it is damage wherever good
        // events follow. Else only its length is: it is damage where good
        // events begin inside it, and otherwise the damage lies past it. An
        // event that is not damage is read on trust, as an event-by-event
        // reader reads it (a stream looks no further ahead for that than it
        // may keep).
        IoResult<std::optional<std::uint64_t>> found = scan(offset + 1, UINT64_MAX, !after_damage, !zero);
        if (!found.ok()) {
            return found.error();
        }
        const std::optional<std::uint64_t>& resume = found.value();
        if (!zero && (!resume || (!after_damage && *resume >= offset + span))) {
            return Verdict{.doubtful_end = true};
        }
        return Verdict{.damaged = true, .resume = resume};
    }

private:
    static constexpr std::size_t kChunk = std::size_t{256} << 10;
    static constexpr std::uint64_t kFirstEventScan = std::uint64_t{64} << 10;
    // Headers followed to choose between chains that begin close together.
    static constexpr int kLongChain = 16;
    // Damaged headers right after a damaged one that are stepped over one by
    // one; a longer damaged stretch is scanned.
    static constexpr int kMaxWalk = 64;

    BufferedFile& file() { return reader_.file(); }

    // How many bytes from `bytes` on are 0, at most `n`.
    static std::size_t first_nonzero(const std::byte* bytes, std::size_t n)
    {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if (word != 0) {
                break;
            }
        }
        while (i < n && bytes[i] == std::byte{0}) {
            ++i;
        }
        return i;
    }

    // The raw header at `offset`, read without consuming anything: whether its
    // bytes are all there (beyond what a stream may read ahead they are not),
    // and what they decode to.
    struct Peeked {
        std::byte bytes[32];
        std::size_t got = 0;
        bool whole = false;
        bool decoded = false;
        bool zero = false;  // every byte 0: no header (see all_zero)
        Header header{};
        std::uint64_t count = 0;
    };
    IoResult<Peeked> peek_header(std::uint64_t offset)
    {
        Peeked at;
        const auto size = static_cast<std::size_t>(reader_.header_bytes());
        IoResult<std::size_t> got = file().peek(offset, at.bytes, size, kMaxResyncLookahead);
        if (!got.ok() && got.error().kind() != IoError::Kind::StreamTooLarge) {
            return got.error();
        }
        at.got = got.ok() ? got.value() : 0;
        at.whole = at.got == size;
        at.decoded = at.whole && reader_.decode_header(at.bytes, at.header, at.count);
        at.zero = at.whole && all_zero(at.bytes, size);
        return at;
    }

    // The header at `offset`: nothing where the bytes end first or it is
    // damaged.
    IoResult<std::optional<std::pair<Header, std::uint64_t>>> header_at(std::uint64_t offset)
    {
        IoResult<Peeked> peeked = peek_header(offset);
        if (!peeked.ok()) {
            return peeked.error();
        }
        const Peeked& at = peeked.value();
        if (!at.whole || !at.decoded || at.zero) {
            return std::optional<std::pair<Header, std::uint64_t>>();
        }
        return std::optional<std::pair<Header, std::uint64_t>>(std::in_place, at.header, at.count);
    }

    // Whether the bytes stop exactly at `offset`.
    IoResult<bool> ends_at(std::uint64_t offset)
    {
        if (end_) {
            return offset == *end_;
        }
        if (file().held_only()) {
            return false;  // bytes not held yet may follow
        }
        // A stream that ends before `offset` does not end there: the byte
        // before it must be there, and none at it.
        std::byte bytes[2];
        const std::uint64_t from = offset == 0 ? 0 : offset - 1;
        const std::size_t wanted = offset == 0 ? 1 : 2;
        IoResult<std::size_t> got = file().peek(from, bytes, wanted, kMaxResyncLookahead);
        if (!got.ok()) {
            return got.error().kind() == IoError::Kind::StreamTooLarge ? IoResult<bool>(false)
                                                                       : IoResult<bool>(got.error());
        }
        return got.value() == wanted - 1;
    }

    bool fits(std::uint64_t offset, std::uint64_t span, std::uint64_t origin) const
    {
        if (end_) {
            return span <= *end_ && offset <= *end_ - span;
        }
        return offset - origin + span <= kMaxResyncLookahead;
    }

    enum class Sighting : std::uint8_t { Plausible, Damaged, Other };

    // What lies at `offset`: a header that fits and agrees with the last good
    // event (if any), a damaged header, or anything else.
    IoResult<Sighting> sight(std::uint64_t offset)
    {
        IoResult<Peeked> peeked = peek_header(offset);
        if (!peeked.ok()) {
            return peeked.error();
        }
        const Peeked& at = peeked.value();
        if (!at.whole || at.zero) {
            return Sighting::Other;
        }
        if (!at.decoded) {
            // Only a header of this file whose length is damaged is stepped
            // over: bytes that merely decode to a bad length are no header.
            return watch_.may_match(at.bytes) ? Sighting::Damaged : Sighting::Other;
        }
        const Header* last = watch_.last();
        const bool plausible = (!end_ || fits(offset, event_span(reader_, at.header, at.count), offset))
                               && (last == nullptr || watch_.agrees(*last, at.header));
        return plausible ? Sighting::Plausible : Sighting::Other;
    }

    // What lies where an event ends: the end of the bytes; a header that has
    // the fields the file keeps steady (damaged or not; it need not fit: an
    // event cut short at the end is met as such later); bytes that cannot be
    // told yet (a header cut off by the end, or beyond what a stream may read
    // ahead); or anything else. Compared with the last good event, or
    // without one with the event itself.
    struct Ending {
        enum Kind : std::uint8_t { Ends, Follows, Unknown, Unlikely } kind = Unlikely;
        std::optional<Header> next;  // Follows: the header there
    };
    IoResult<Ending> ending_at(std::uint64_t at, const Header& event)
    {
        IoResult<bool> ended = ends_at(at);
        if (!ended.ok()) {
            return ended.error();
        }
        if (ended.value()) {
            return Ending{.kind = Ending::Ends};
        }
        IoResult<Peeked> peeked = peek_header(at);
        if (!peeked.ok()) {
            return peeked.error();
        }
        const Peeked& there = peeked.value();
        if (!there.whole) {
            return Ending{.kind = Ending::Unknown};
        }
        const Header* last = watch_.last();
        if (there.zero || !watch_.agrees(last != nullptr ? *last : event, there.header)) {
            return Ending{};
        }
        return Ending{.kind = Ending::Follows, .next = there.header};
    }

    // The first header of a chain that begins at `at` and continues the last
    // good event, if one does (`origin`: where a stream's look ahead began).
    IoResult<std::optional<Header>> chain_head(std::uint64_t at, std::uint64_t origin,
                                               const std::function<bool(const Header&)>& counted)
    {
        if (end_ && at >= *end_) {
            return std::optional<Header>();
        }
        if (!end_ && at - origin > kMaxResyncLookahead) {
            return std::optional<Header>();
        }
        IoResult<Chain> chain = chain_from(at, kChainLength);
        if (!chain.ok()) {
            return chain.error();
        }
        // A single event that ends the bytes will do where the counters
        // say that it comes next (`counted`).
        bool enough = trusted(chain.value(), true);
        if (!enough && trusted(chain.value(), false)) {
            auto head = header_at(at);
            if (!head.ok()) {
                return head.error();
            }
            enough = head.value() && counted(head.value()->first);
        }
        if (!enough) {
            return std::optional<Header>();
        }
        auto head = header_at(at);
        if (!head.ok()) {
            return head.error();
        }
        return head.value() ? std::optional<Header>(head.value()->first) : std::optional<Header>();
    }

    // How far headers chain from `offset` (at most `links` of them, the first
    // following the last good event), and whether the last ends exactly where
    // the bytes end.
    struct Chain {
        int links = 0;
        bool ends = false;
        bool better_than(const Chain& other) const { return ends != other.ends ? ends : links > other.links; }
    };
    IoResult<Chain> chain_from(std::uint64_t offset, int links)
    {
        std::optional<Header> previous;
        if (const Header* last = watch_.last()) {
            previous = *last;
        }
        Chain chain;
        std::uint64_t at = offset;
        // Until the file's good events have shown how their counters move, a
        // chain must keep a steady step of its own (0 included): bytes that
        // merely decode rarely do.
        const bool own_step = !watch_.counters().known();
        std::uint32_t step = 0;
        while (chain.links < links) {
            auto header = header_at(at);
            if (!header.ok()) {
                return header.error();
            }
            if (!header.value()) {
                break;
            }
            const auto& [decoded, count] = *header.value();
            const std::uint64_t span = event_span(reader_, decoded, count);
            // The first header is compared with the last good event on the
            // fields the file keeps steady, not on its counter: one event read
            // on trust before the damage may carry any counter. Within the
            // chain, counters must rise too.
            bool follows = !previous
                           || (chain.links == 0 ? watch_.agrees(*previous, decoded)
                                                : watch_.may_follow(*previous, decoded));
            if (follows && own_step && chain.links != 0) {
                const std::uint32_t moved = counter_of(decoded) - counter_of(*previous);
                follows = chain.links == 1 ? moved < 0x80000000u : moved == step;
                step = moved;
            }
            if (!fits(at, span, offset) || !follows) {
                break;
            }
            previous = decoded;
            at += span;
            ++chain.links;
            IoResult<bool> ended = ends_at(at);
            if (!ended.ok()) {
                return ended.error();
            }
            if (ended.value()) {
                chain.ends = true;
                break;
            }
        }
        return chain;
    }

    // Whether a chain begins at `offset`: kChainLength headers, or fewer that
    // end exactly where the bytes end (one that follows a good event; without
    // one to compare with, two).
    bool trusted(const Chain& chain, bool strict) const
    {
        if (chain.ends) {
            return chain.links >= (watch_.last() != nullptr && !strict ? 1 : 2);
        }
        return chain.links >= kChainLength;
    }

    // Where events start, given that a chain begins at `found`: a chain read a
    // few bytes off (in events whose bytes repeat, such as empty ones) can hold
    // too, so of the chains that begin within a header's length the one that
    // runs furthest wins.
    IoResult<std::uint64_t> best_chain_near(std::uint64_t found, bool strict)
    {
        IoResult<Chain> best = chain_from(found, kLongChain);
        if (!best.ok()) {
            return best.error();
        }
        std::uint64_t where = found;
        for (std::uint64_t offset = found + 1; offset < found + reader_.header_bytes(); ++offset) {
            IoResult<Chain> other = chain_from(offset, kLongChain);
            if (!other.ok()) {
                return other.error();
            }
            if (trusted(other.value(), strict) && other.value().better_than(best.value())) {
                best = other;
                where = offset;
            }
        }
        return where;
    }

    // A quick look at the raw header at `bytes` (file offset `offset`): false
    // only where no chain can begin there.
    bool candidate(const std::byte* bytes, std::uint64_t offset) const
    {
        if (!watch_.may_match(bytes)) {
            return false;
        }
        Header header{};
        std::uint64_t count = 0;
        if (!reader_.decode_header(bytes, header, count)) {
            return false;
        }
        return fits(offset, event_span(reader_, header, count), offset);
    }

    Reader& reader_;
    const FieldState<Header>& watch_;
    std::optional<std::uint64_t> end_;
};

}  // namespace vesk
