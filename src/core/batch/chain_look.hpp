// Looking at what the bytes at an offset hold without consuming them: headers
// peeked, where the bytes end, and chains of plausible headers (see
// resync.hpp), judged against what the file's good events have shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "buffered_file.hpp"
#include "field_watch.hpp"
#include "formats.hpp"

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

// Bytes an event takes in the file, header and pad byte included.
template <class Reader>
std::uint64_t event_span(const Reader& reader, const typename Reader::Header& header, std::uint64_t count)
{
    return reader.event_span(header, count);
}

// `end` is the size of a regular file that is not being written (lengths must
// fit it); nothing for a stream or a file being followed, where the end is
// only where the bytes stop for now.
template <class Reader>
class ChainLook {
public:
    using Header = typename Reader::Header;

    ChainLook(Reader& reader, const FieldState<Header>& watch, std::optional<std::uint64_t> end)
        : reader_(reader), watch_(watch), end_(end)
    {
    }

protected:
    // Headers followed to choose between chains that begin close together.
    static constexpr int kLongChain = 16;

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
        std::byte bytes[kLargestHeaderBytes];
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

    // Whether the raw header at `bytes` decodes to an event `span` bytes long.
    bool spans_to(const std::byte* bytes, std::uint64_t span) const
    {
        Header header{};
        std::uint64_t count = 0;
        return reader_.decode_header(bytes, header, count) && event_span(reader_, header, count) == span;
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
