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

#include "chain_look.hpp"
#include "formats.hpp"
#include "little_endian.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

// Looks for where reading can go on. `end` is the size of a regular file that
// is not being written (lengths must fit it); nothing for a stream or a file
// being followed, where the end is only where the bytes stop for now.
template <class Reader>
class Resync : ChainLook<Reader> {
    using Look = ChainLook<Reader>;
    using Look::best_chain_near;
    using Look::candidate;
    using Look::chain_from;
    using Look::chain_head;
    using Look::end_;
    using Look::ending_at;
    using Look::file;
    using Look::first_nonzero;
    using Look::fits;
    using Look::header_at;
    using Look::peek_header;
    using Look::reader_;
    using Look::sight;
    using Look::spans_to;
    using Look::trusted;
    using Look::watch_;
    using typename Look::Chain;
    using typename Look::Ending;
    using typename Look::Peeked;
    using typename Look::Sighting;

public:
    using Header = typename Reader::Header;

    Resync(Reader& reader, const FieldState<Header>& watch, std::optional<std::uint64_t> end)
        : Look(reader, watch, end)
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
    // `run_from`: only headers whose event is as long as the distance from
    // there to them are followed (a run of events of one length from there):
    // each header followed is a look far away, a request of its own where
    // the bytes are fetched from a server.
    IoResult<std::optional<std::uint64_t>> scan(std::uint64_t from, std::uint64_t until = UINT64_MAX,
                                                bool strict = false, bool hold = false,
                                                std::optional<std::uint64_t> run_from = std::nullopt)
    {
        const auto header_size = static_cast<std::size_t>(reader_.header_bytes());
        std::unique_ptr<std::byte[]> chunk(new (std::nothrow) std::byte[kChunk + kLargestHeaderBytes]);
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
            IoResult<std::size_t> got =
                file().peek(at, chunk.get(), wanted + header_size - 1,
                            hold ? kMaxResyncLookahead : kChunk + kLargestHeaderBytes);
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
                if (run_from && !spans_to(chunk.get() + i, at + i - *run_from)) {
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
                IoResult<std::optional<std::uint64_t>> inside = scan(from, until, false, true, offset);
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
    // Damaged headers right after a damaged one that are stepped over one by
    // one; a longer damaged stretch is scanned.
    static constexpr int kMaxWalk = 64;
};

}  // namespace vesk
