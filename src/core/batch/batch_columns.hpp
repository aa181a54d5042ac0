// The columns of one batch as they are filled: a growable block per header
// field, one for the samples and one for the offsets. No Python here: the
// module layer hands the finished blocks to NumPy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include <sys/mman.h>

#include "buffered_file.hpp"
#include "event_runs.hpp"
#include "formats.hpp"
#include "growable_block.hpp"
#include "header_columns.hpp"
#include "header_fields.hpp"
#include "sample_buffer.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

// The decoder's sink for a batch: events go into the columns, in one pass.
// Without `ReadsSamples`, payloads are skipped (by seeking, on a regular file)
// and only the header columns are filled.
template <class Reader, bool ReadsSamples = true>
class BatchSink {
public:
    using Header = typename Reader::Header;
    using Sample = typename Reader::Sample;
    using Fields = HeaderColumns<Header>;
    static constexpr bool kReadsSamples = ReadsSamples;
    // The bytes one event adds to a batch besides its samples: its header
    // fields and its offset.
    static constexpr std::uint64_t kRowBytes = [] {
        std::uint64_t sum = sizeof(std::int64_t);
        for (std::size_t width : Fields::kWidths) {
            sum += width;
        }
        return sum;
    }();

    // At most `max_events` events and about `max_bytes` bytes (nothing: no
    // bound), but always at least one event. Every event is shown to `watch`.
    // Blocks are drawn from `pool` (if any) when it holds them.
    BatchSink(const BufferedFile& file, std::uint64_t max_events, std::optional<std::uint64_t> max_bytes,
              FieldWatch<Header>& watch, BlockPool* pool = nullptr)
        : file_(file), watch_(watch), max_events_(max_events), max_bytes_(max_bytes),
          maps_(ReadsSamples && file.mapping() != nullptr)
    {
        for (GrowableBlock& block : fields_) {
            block.draw_from(pool);
        }
        samples_block_.draw_from(pool);
        offsets_.draw_from(pool);
        places_.draw_from(pool);
    }

    // A mapped file's samples stay where they are: the sink records where each
    // event's samples start in the mapping (map, map_run), and the sample
    // block stays empty.
    bool maps_samples() const { return maps_; }
    const std::shared_ptr<FileMapping>& mapping() const { return file_.mapping(); }
    // The next event's `count` samples start at byte `place` of the mapping;
    // false when memory ran out.
    bool map(std::size_t count, std::uint64_t place)
    {
        if (!grow_places(events_ + 1)) {
            return false;
        }
        reinterpret_cast<std::int64_t*>(places_.data())[events_] = static_cast<std::int64_t>(place);
        pending_count_ = count;
        return true;
    }
    // Room for a run of up to `events` events whose samples start at byte
    // `first` of the mapping and lie `stride` bytes apart (commit_run records them).
    bool map_run(std::size_t events, std::uint64_t first, std::uint64_t stride)
    {
        run_next_ = first;
        run_stride_ = stride;
        return grow_places(events_ + events) && grow_rows_to(events_ + events);
    }

    bool wants(std::uint64_t sample_bytes)
    {
        pending_bytes_ = (ReadsSamples ? sample_bytes : 0) + kRowBytes;
        if (events_ == 0) {
            // The first event tells how many like it the batch may hold: rows
            // for them all now, so that the columns neither grow by copying
            // nor come out of fresh memory several times too large. Only a
            // hint: ensure_row meets a shortage of memory itself.
            make_rows(expected_rows(sample_bytes));
            return true;
        }
        return !max_bytes_ || bytes_ + pending_bytes_ <= *max_bytes_;
    }

    Sample* reserve(const Header&, std::size_t count)
    {
        pending_count_ = count;
        if (count == 0) {
            return reinterpret_cast<Sample*>(detail::empty_storage);  // nothing is written there
        }
        const std::size_t used = samples_ * sizeof(Sample);
        const std::size_t needed = used + count * sizeof(Sample);
        if (needed > samples_block_.capacity()) {
            // The first block is sized from what the file can still hold,
            // bounded by the batch's limits, so that it does not grow by
            // copying; the first sample lands where the kernel fills fastest.
            const std::size_t wanted = samples_block_.capacity() == 0
                                           ? std::max(needed, first_capacity(count))
                                           : std::max(needed, 2 * samples_block_.capacity());
            const std::uint64_t offset = file_.position();
            if (!samples_block_.reserve(wanted, offset) && !samples_block_.reserve(needed, offset)) {
                return nullptr;
            }
        }
        return reinterpret_cast<Sample*>(samples_block_.data() + used);
    }

    void commit(const Header& header)
    {
        watch_.see(header);
        Fields::store(columns_, events_, &header, 1);
        streak_ = events_ != 0 && pending_count_ == last_count_ ? streak_ + 1 : 1;
        last_header_ = header;
        last_count_ = pending_count_;
        samples_ += pending_count_;
        pending_count_ = 0;
        offsets_data_[events_ + 1] = static_cast<std::int64_t>(samples_);
        ++events_;
        bytes_ += pending_bytes_;
    }

    // Room for one more row, made before the event is read so that commit
    // cannot fail; false when memory ran out. The first rows are few: the
    // first event's size tells how many more to make (see wants).
    bool ensure_row()
    {
        if (events_ < rows_capacity_) {
            return true;
        }
        const std::size_t rows = rows_capacity_ == 0 ? kFirstRows : 2 * rows_capacity_;
        return grow_rows_to(static_cast<std::size_t>(std::min<std::uint64_t>(rows, max_events_)));
    }

    // For runs of events read at once (see read_run): how many more events
    // with `sample_bytes` of samples the byte limit allows, room for `total`
    // more samples (and as many rows as events may come), and those events
    // committed.
    std::uint64_t room_for(std::uint64_t sample_bytes) const
    {
        if (!max_bytes_) {
            return UINT64_MAX;
        }
        const std::uint64_t left = *max_bytes_ > bytes_ ? *max_bytes_ - bytes_ : 0;
        return left / (sample_bytes + kRowBytes);
    }
    // Room for `total` more samples and rows for the events they make up.
    Sample* reserve_run(std::size_t total, std::size_t events)
    {
        Header unused{};
        Sample* destination = reserve(unused, total);
        pending_count_ = 0;
        return destination != nullptr && grow_rows_to(events_ + events) ? destination : nullptr;
    }
    bool may_follow(const Header& previous, const Header& next) const
    {
        return watch_.now().may_follow(previous, next);
    }
    bool knows_counters() const { return watch_.now().counters().known(); }
    // Bytes the sample block holds past the samples so far, without growing.
    std::size_t sample_room() const
    {
        return maps_ ? 0 : samples_block_.capacity() - samples_ * sizeof(Sample);
    }
    // `n` events of `count` samples each, whose samples are already in place.
    void commit_run(const Header* headers, std::size_t n, std::size_t count, std::uint64_t sample_bytes)
    {
        if (n == 0) {
            return;
        }
        watch_.see_all(headers, n);
        Fields::store(columns_, events_, headers, n);
        if (maps_) {
            auto* places = reinterpret_cast<std::int64_t*>(places_.data()) + events_;
            for (std::size_t i = 0; i < n; ++i, run_next_ += run_stride_) {
                places[i] = static_cast<std::int64_t>(run_next_);
            }
        }
        std::int64_t* offsets = offsets_data_ + events_ + 1;
        for (std::size_t i = 0; i < n; ++i) {
            offsets[i] = static_cast<std::int64_t>(samples_ + (i + 1) * count);
        }
        streak_ = events_ != 0 && count == last_count_ ? streak_ + n : n;
        last_header_ = headers[n - 1];
        last_count_ = count;
        samples_ += n * count;
        events_ += n;
        bytes_ += n * (sample_bytes + kRowBytes);
    }

    // Takes the last event back out (found to overlap good events that
    // follow it); the watch forgets it too.
    void uncommit_last()
    {
        const auto count = static_cast<std::size_t>(offsets_data_[events_] - offsets_data_[events_ - 1]);
        --events_;
        samples_ -= count;
        bytes_ -= std::min<std::uint64_t>(bytes_, count * sizeof(Sample) + kRowBytes);
        last_count_ = 0;  // no run is to follow it
        streak_ = 0;
        watch_.forget_last();
    }

    std::size_t events() const { return events_; }
    std::size_t samples() const { return samples_; }
    // For a mapped batch whose events all have one count of samples, which
    // start equally far apart in the mapping: that distance in bytes (for
    // fewer than two events, the bytes of one event's samples); else -1.
    std::int64_t uniform_stride() const
    {
        if (!maps_ || events_ == 0) {
            return -1;
        }
        // From the blocks, which trim may have moved.
        const auto* places = reinterpret_cast<const std::int64_t*>(places_.data());
        const auto* offsets = reinterpret_cast<const std::int64_t*>(offsets_.data());
        const std::int64_t count = offsets[1] - offsets[0];
        const std::int64_t stride =
            events_ > 1 ? places[1] - places[0] : count * std::int64_t{sizeof(Sample)};
        bool uniform = stride >= 0;
        for (std::size_t i = 1; i < events_; ++i) {
            uniform &= (places[i] - places[i - 1] == stride) & (offsets[i + 1] - offsets[i] == count);
        }
        return uniform ? stride : -1;
    }
    // The blocks, trimmed to what they hold, for the module layer to take.
    void trim()
    {
        samples_block_.shrink_to(samples_ * sizeof(Sample));
        for (std::size_t i = 0; i < Fields::kCount; ++i) {
            fields_[i].shrink_to(events_ * Fields::kWidths[i]);
        }
        offsets_.shrink_to((events_ + 1) * sizeof(std::int64_t));
        places_.shrink_to(events_ * sizeof(std::int64_t));
    }
    // Bytes the blocks hold, used or not.
    std::size_t block_bytes() const
    {
        std::size_t sum = samples_block_.capacity() + offsets_.capacity() + places_.capacity();
        for (const GrowableBlock& block : fields_) {
            sum += block.capacity();
        }
        return sum;
    }
    GrowableBlock& field(std::size_t index) { return fields_[index]; }
    GrowableBlock& samples_block() { return samples_block_; }
    GrowableBlock& offsets_block() { return offsets_; }
    GrowableBlock& places_block() { return places_; }

private:
    bool grow_places(std::size_t rows)
    {
        const std::size_t bytes = rows * sizeof(std::int64_t);
        return bytes <= places_.capacity()
               || places_.reserve(std::max(bytes, std::max(2 * places_.capacity(), rows_capacity_ * 8)));
    }

    bool grow_rows_to(std::size_t rows)
    {
        if (rows <= rows_capacity_) {
            return true;
        }
        rows = std::max(rows, 2 * rows_capacity_);
        for (std::size_t i = 0; i < Fields::kCount; ++i) {
            const bool grown = fields_[i].reserve(rows * Fields::kWidths[i]);
            columns_[i] = fields_[i].data();  // moved, maybe, even when the next one fails
            if (!grown) {
                return false;
            }
        }
        const bool grown = offsets_.reserve((rows + 1) * sizeof(std::int64_t));
        offsets_data_ = reinterpret_cast<std::int64_t*>(offsets_.data());
        if (!grown) {
            return false;
        }
        offsets_data_[0] = 0;
        rows_capacity_ = rows;
        return true;
    }

    // Before the first row is written: `rows` rows in blocks made for them,
    // rather than the first few grown by copying. A block of a size worth huge
    // pages is placed for them only when it is first made. Nothing changes
    // when memory cannot be had.
    void make_rows(std::size_t rows)
    {
        if (rows <= rows_capacity_) {
            return;
        }
        bool held = offsets_.capacity() >= (rows + 1) * sizeof(std::int64_t);
        for (std::size_t i = 0; i < Fields::kCount; ++i) {
            held = held && fields_[i].capacity() >= rows * Fields::kWidths[i];
        }
        if (held) {  // blocks of a dropped batch, from the pool
            rows_capacity_ = rows;
            return;
        }
        GrowableBlock fields[Fields::kCount];
        GrowableBlock offsets;
        for (std::size_t i = 0; i < Fields::kCount; ++i) {
            fields[i].draw_from(fields_[i].pool());
            if (!fields[i].reserve(rows * Fields::kWidths[i])) {
                return;
            }
        }
        offsets.draw_from(offsets_.pool());
        if (!offsets.reserve((rows + 1) * sizeof(std::int64_t))) {
            return;
        }
        for (std::size_t i = 0; i < Fields::kCount; ++i) {
            std::swap(fields_[i], fields[i]);  // the small blocks go back as these end
            columns_[i] = fields_[i].data();
        }
        std::swap(offsets_, offsets);
        offsets_data_ = reinterpret_cast<std::int64_t*>(offsets_.data());
        offsets_data_[0] = 0;
        rows_capacity_ = rows;
    }

    static constexpr std::size_t kFirstRows = 16;

    // Events of `sample_bytes` each that the batch may hold: bounded by its
    // limits and by what the file still holds (every header is at least kSmallestHeaderBytes
    // bytes long), with a row to spare: a row is made before each event is
    // read, the one after the last too, and growing the columns then would
    // copy them all for nothing.
    std::size_t expected_rows(std::uint64_t sample_bytes) const
    {
        std::uint64_t rows = max_events_;
        if (const std::optional<std::uint64_t> remaining = file_.remaining()) {
            rows = std::min(rows, *remaining / (sample_bytes + kSmallestHeaderBytes) + 2);
        }
        if (max_bytes_) {
            rows = std::min(rows, *max_bytes_ / pending_bytes_ + 2);
        }
        return static_cast<std::size_t>(std::min<std::uint64_t>(rows, SIZE_MAX / sizeof(std::int64_t) / 2));
    }

    std::size_t first_capacity(std::size_t first_count) const
    {
        std::uint64_t bound = UINT64_MAX / 4;
        if (const std::optional<std::uint64_t> remaining = file_.remaining()) {
            bound = *remaining;  // every sample left in the file, at most
        }
        if (max_bytes_) {
            bound = std::min(bound, *max_bytes_);
        }
        // As many events like the first as the batch may hold, its rows
        // counted: a block sized to the byte limit alone would hold one 1 MiB
        // event of a 2 MiB batch in 2 MiB, be trimmed to half, and no longer
        // fit the next batch when it comes back to the pool.
        const std::uint64_t per_event = std::max<std::uint64_t>(first_count, 1) * sizeof(Sample);
        std::uint64_t events = max_events_;
        if (max_bytes_) {
            events = std::min(events, std::max<std::uint64_t>(*max_bytes_ / (per_event + kRowBytes), 1));
        }
        if (events <= bound / per_event) {
            bound = events * per_event;
        }
        return static_cast<std::size_t>(bound);
    }

    const BufferedFile& file_;
    FieldWatch<Header>& watch_;
    std::uint64_t max_events_;
    std::optional<std::uint64_t> max_bytes_;
    GrowableBlock fields_[Fields::kCount];
    std::byte* columns_[Fields::kCount] = {};  // where each field's column starts
    std::int64_t* offsets_data_ = nullptr;
    GrowableBlock samples_block_;
    GrowableBlock offsets_;
    std::size_t rows_capacity_ = 0;
    std::size_t events_ = 0;
    std::size_t samples_ = 0;
    std::size_t pending_count_ = 0;
    std::uint64_t pending_bytes_ = 0;
    std::uint64_t bytes_ = 0;
    Header last_header_{};
    std::size_t last_count_ = 0;
    std::size_t streak_ = 0;
    bool maps_;
    GrowableBlock places_;  // int64: where each event's samples start in the mapping
    std::uint64_t run_next_ = 0;
    std::uint64_t run_stride_ = 0;

public:
    // The last event committed: what a run expects the next ones to be like.
    const Header& last_header() const { return last_header_; }
    std::size_t last_count() const { return last_count_; }
    // How many events of last_count() samples end the batch.
    std::size_t streak() const { return streak_; }
};

// The sink that counts events and skips their samples by seeking.
template <class Reader>
struct CountingSink {
    static constexpr bool kReadsSamples = false;
    bool wants(std::uint64_t) const { return true; }
    void commit(const typename Reader::Header& header)
    {
        watch.see(header);
        ++count;
    }
    void uncommit_last()
    {
        --count;
        watch.forget_last();
    }
    std::uint64_t events() const { return count; }
    FieldWatch<typename Reader::Header>& watch;
    std::uint64_t count = 0;
};

static_assert(FillSink<BatchSink<WD1Reader>, WD1Header, WD1Reader::Sample>);
static_assert(FillSink<BatchSink<WD2Reader>, WD2Header, WD2Reader::Sample>);
static_assert(FillSink<BatchSink<WD1Reader, false>, WD1Header, WD1Reader::Sample>);
static_assert(FillSink<BatchSink<WD2Reader, false>, WD2Header, WD2Reader::Sample>);
static_assert(FillSink<CountingSink<WD1Reader>, WD1Header, WD1Reader::Sample>);
static_assert(FillSink<CountingSink<WD2Reader>, WD2Header, WD2Reader::Sample>);

}  // namespace vesk
