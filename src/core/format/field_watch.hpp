// What the good events of a file have shown about their fields: which of
// them stay steady, how the counters move. Finding the next good event after
// damage relies on it (see resync.hpp); each format says which of its fields
// it watches, beside its decoder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vesk {

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

// What the good events of a file have shown about the fields a scan may rely
// on; learns from every good event.
template <class Header>
class FieldState;

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

}  // namespace vesk
