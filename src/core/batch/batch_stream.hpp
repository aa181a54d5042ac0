// A file read as a stream of batches. One BatchStream owns the decoder with
// what the file has shown so far, the counters a caller may read at any time,
// the pool the batches' blocks come from, and the worker thread that reads the
// next batch ahead. It answers "the next batch, for these limits" and puts a
// batch read ahead back when the next call asks for something else. No Python
// here: the module layer adapts it, and the C++ tests and fuzzers drive it.
//
// One call at a time (the module layer serialises them); only the counters
// may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "batch_columns.hpp"
#include "batch_fill.hpp"
#include "block_pool.hpp"
#include "formats.hpp"
#include "worker_thread.hpp"

namespace vesk {

// A decoder and what its file has shown so far.
template <class Reader>
struct Decoding {
    Reader decoder;
    FileProgress<Reader> progress;
};

// The limits of one batch.
struct BatchLimits {
    FillLimits fill;
    std::optional<std::uint64_t> max_bytes;
    bool samples = true;  // false: header columns only, payloads skipped
    bool operator==(const BatchLimits& other) const
    {
        return fill.max_events == other.fill.max_events && fill.stop_index == other.fill.stop_index
               && fill.skip_damaged == other.fill.skip_damaged && fill.follow == other.fill.follow
               && max_bytes == other.max_bytes && samples == other.samples;
    }
};

// When the next batch is read ahead: never, always, or when it pays. Reading
// ahead overlaps the decoding of small events with the caller's work on the
// batch before; large events are copied at the speed of memory, which a second
// thread does not raise, and the two copies in flight then slow each other.
enum class ReadAheadMode : std::uint8_t { Never, Always, SmallEvents };
inline constexpr std::uint8_t kReadAheadModeCount = 3;

// The columns of a batch of either format; none while a WD2 source does not
// yet hold enough bytes to tell its layout.
template <bool Samples>
using AnyBatchSink =
    std::variant<std::monostate, BatchSink<WD1Reader, Samples>, BatchSink<WD2Reader, Samples>>;

template <bool Samples>
struct NextBatch {
    AnyBatchSink<Samples> columns;
    FillEnd end;
};

struct SkippedEvents {
    std::uint64_t events = 0;
    FillEnd end;
};

// Why a WD2 source's layout could not be told.
struct OpenFailure {
    std::optional<IoError> error;  // nothing: the first event's length overflows
};

struct StreamSettings {
    Format format = Format::WD1;
    LayoutRequest layout = LayoutRequest::Probe;
    bool follow = false;
    bool finite_stream = false;  // see FillLimits
    // False where the source needs the caller's thread (a file object of the
    // module layer's language): nothing is read ahead.
    bool background_reads = true;
};

class BatchStream {
public:
    // Over `file`, at its first byte; open() makes the decoder. The batches'
    // blocks come from `pool`. `in_background` (may be null) is set while the
    // worker reads with the file's hooks.
    BatchStream(BufferedFile file, const StreamSettings& settings,
                std::shared_ptr<BlockPool> pool = std::make_shared<BlockPool>(),
                bool* in_background = nullptr);
    BatchStream(const BatchStream&) = delete;
    BatchStream& operator=(const BatchStream&) = delete;
    ~BatchStream();

    // Makes the decoder where that is still to be done: a WD1 one at once, a
    // WD2 one once its layout can be told. Nothing when it is made, or when a
    // WD2 source does not yet hold enough bytes (empty, short, or followed):
    // then it is tried again by the next call.
    std::optional<OpenFailure> open();
    bool has_decoder() const { return decoding_.has_value(); }
    bool closed() const { return closed_; }

    // The next batch for `limits`: the one read ahead when it was read for
    // them, else one read now (a read-ahead for other limits is put back
    // first). With `mode`, the batch after it is read meanwhile.
    template <bool Samples>
    NextBatch<Samples> next(const BatchLimits& limits, ReadAheadMode mode);
    // Steps over events without keeping them.
    SkippedEvents skip(const FillLimits& limits);
    // Puts the last batch of next() back, with a batch read ahead after it:
    // the next call reads it again. For a caller that could not pass the
    // batch on. False where it cannot be done: a stream that let the bytes
    // go, a skip since, or a read error (the decoder then stays where it is).
    bool put_back_last();

    // Waits for a batch being read ahead: true once none is; false when
    // `give_up()`, asked every 50 ms, says so first (the read-ahead goes on).
    // Every call waits for it anyway: this lets a caller do other things
    // meanwhile.
    template <class GiveUp>
    bool wait_for_read_ahead(GiveUp&& give_up);
    // Whether no batch is being read ahead, waiting up to `timeout`.
    bool read_ahead_done_within(std::chrono::milliseconds timeout) { return worker_.wait_for(timeout); }
    // Waits for a read-ahead, drops it and ends the worker.
    void drop_read_ahead();
    // Drops the decoder, the file and what the pool keeps; the counters stay.
    void close();

    // A WD2 file's (has_channel_field, channel_count) once its layout is known.
    using Wd2Layout = std::optional<std::pair<bool, std::int32_t>>;
    // Once the decoder is made, the layout it was made with (nothing for
    // WD1), which never changes after: read from any thread, without waiting
    // for a batch being read ahead. Nothing before.
    std::optional<Wd2Layout> settled_layout() const
    {
        return opened_.load(std::memory_order_acquire) ? std::optional(layout_) : std::nullopt;
    }

    // As of the last batch handed out; read from any thread.
    std::uint64_t events_read() const { return events_read_; }
    std::uint64_t trailing_bytes() const { return trailing_bytes_; }
    std::uint64_t position() const { return position_; }
    const std::shared_ptr<BlockPool>& pool() const { return pool_; }

private:
    // A batch read on the worker while the caller works on the one before,
    // for the next call with the same limits. Any other call puts the decoder
    // back where it stood before (`cursor`, `progress`), and the batch is
    // dropped.
    template <class Reader>
    struct ReadAheadOf {
        typename Reader::Cursor cursor;
        FileProgress<Reader> progress;
        std::optional<BatchSink<Reader, true>> sink;
        std::optional<BatchSink<Reader, false>> headers;  // for a call without samples

        template <bool Samples>
        auto& sink_of()
        {
            if constexpr (Samples) {
                return sink;
            } else {
                return headers;
            }
        }
    };
    struct ReadAhead {
        BatchLimits limits;
        PerFormat<ReadAheadOf> batch;
        FillEnd end;
        std::exception_ptr failure;  // what the fill threw, for the call that takes it
    };

    // Where the decoder stood before a batch, with what it had shown.
    template <class Reader>
    struct Mark {
        typename Reader::Cursor cursor;
        FileProgress<Reader> progress;
    };

    template <class Reader>
    void record_progress(const Decoding<Reader>& decoding);
    template <class Reader>
    IoStatus put_back_read_ahead(Decoding<Reader>& decoding);
    FillEnd failed_put_back(const IoError& error) const;
    template <class Reader, bool Samples>
    std::optional<FillEnd> take_read_ahead(const BatchLimits& limits, AnyBatchSink<Samples>& columns);
    template <class Reader, class Sink>
    bool may_read_ahead(const Decoding<Reader>& decoding, const BatchLimits& limits, const FillEnd& end,
                        ReadAheadMode mode, const Sink& sink) const;
    template <bool Samples, class Reader>
    void start_read_ahead(Decoding<Reader>& decoding, const BatchLimits& limits);
    void set_background(bool on)
    {
        if (in_background_ != nullptr) {
            *in_background_ = on;
        }
    }

    StreamSettings settings_;
    bool* in_background_;
    // The source until the decoder is made; then the decoder, which holds it.
    std::optional<BufferedFile> unopened_;
    std::optional<PerFormat<Decoding>> decoding_;
    bool closed_ = false;
    // Blocks of the batches no one holds any more, for the next ones.
    std::shared_ptr<BlockPool> pool_;
    WorkerThread worker_;
    // Before the last batch of next(), for put_back_last().
    std::optional<PerFormat<Mark>> before_last_;
    // Used once the worker is done with it (see wait_for_read_ahead).
    std::unique_ptr<ReadAhead> ahead_;
    // Written once, before opened_ is set (see settled_layout).
    Wd2Layout layout_;
    std::atomic<bool> opened_{false};
    std::atomic<std::uint64_t> events_read_{0};
    std::atomic<std::uint64_t> trailing_bytes_{0};
    std::atomic<std::uint64_t> position_{0};
};

// ---- templates

// What the getters show, as of the batch just handed out.
template <class Reader>
void BatchStream::record_progress(const Decoding<Reader>& decoding)
{
    events_read_ = decoding.progress.events_read;
    trailing_bytes_ = decoding.progress.trailing_bytes;
    // A stream has consumed the bytes of a truncated last event: they are
    // trailing bytes, not past the last whole event.
    const BufferedFile& file = decoding.decoder.file();
    const std::uint64_t trailing = file.seekable() ? 0 : decoding.progress.trailing_bytes;
    position_ = file.position() - std::min(trailing, file.position());
}

// Puts the decoder back where it stood before a batch read ahead that this
// call does not take, and drops that batch. A read error leaves the read-ahead
// in place, to be put back by the next call.
template <class Reader>
IoStatus BatchStream::put_back_read_ahead(Decoding<Reader>& decoding)
{
    if (!ahead_) {
        return io_ok();
    }
    auto& before = std::get<ReadAheadOf<Reader>>(ahead_->batch);
    if (IoStatus status = decoding.decoder.rewind(before.cursor); !status.ok()) {
        return status;
    }
    decoding.progress = before.progress;
    ahead_.reset();
    return io_ok();
}

// The batch read ahead, when it was read with this call's limits.
template <class Reader, bool Samples>
std::optional<FillEnd> BatchStream::take_read_ahead(const BatchLimits& limits, AnyBatchSink<Samples>& columns)
{
    if (!ahead_ || !(ahead_->limits == limits)) {
        return std::nullopt;
    }
    std::unique_ptr<ReadAhead> ahead = std::move(ahead_);
    if (ahead->failure) {
        std::rethrow_exception(ahead->failure);
    }
    columns.template emplace<BatchSink<Reader, Samples>>(
        std::move(*std::get<ReadAheadOf<Reader>>(ahead->batch).template sink_of<Samples>()));
    return std::move(ahead->end);
}

// Whether to read the next batch ahead after one that ended on a limit: only
// from a regular file read without the caller's thread, and not while
// following a file, whose end is not final.
template <class Reader, class Sink>
bool BatchStream::may_read_ahead(const Decoding<Reader>& decoding, const BatchLimits& limits,
                                 const FillEnd& end, ReadAheadMode mode, const Sink& sink) const
{
    if (mode == ReadAheadMode::Never || !settings_.background_reads || !decoding.decoder.file().seekable()
        || limits.fill.follow || (end.outcome != Outcome::Event && end.outcome != Outcome::Declined)) {
        return false;
    }
    // Also where the samples stay in a mapping: decoding the headers of large
    // events is little work to take over, less than handing it to the worker.
    constexpr std::uint64_t kSmallEventSampleBytes = 4096;
    const std::uint64_t sample_bytes = std::uint64_t{sink.samples()} * sizeof(typename Reader::Sample);
    return mode == ReadAheadMode::Always || sample_bytes < kSmallEventSampleBytes * sink.events();
}

// Starts reading the batch after this one on the worker. Nothing changes when
// no memory or no thread can be had: the batch in hand is never put at risk
// for one that may not be wanted.
template <bool Samples, class Reader>
void BatchStream::start_read_ahead(Decoding<Reader>& decoding, const BatchLimits& limits)
{
    try {
        auto ahead = std::make_unique<ReadAhead>();
        ahead->limits = limits;
        auto& batch = ahead->batch.template emplace<ReadAheadOf<Reader>>(
            ReadAheadOf<Reader>{.cursor = decoding.decoder.cursor(), .progress = decoding.progress});
        auto& sink =
            batch.template sink_of<Samples>().emplace(decoding.decoder.file(), limits.fill.max_events,
                                                      limits.max_bytes, decoding.progress.watch, pool_.get());
        ReadAhead* running = ahead.get();
        set_background(true);
        const bool started = worker_.run([running, &decoding, &sink] {
            try {
                running->end = fill(decoding.decoder, sink, decoding.progress, running->limits.fill);
            } catch (...) {
                running->failure = std::current_exception();
            }
        });
        if (started) {
            ahead_ = std::move(ahead);
        } else {
            set_background(false);
        }
    } catch (const std::exception&) {
        set_background(false);
    }
}

template <bool Samples>
NextBatch<Samples> BatchStream::next(const BatchLimits& limits, ReadAheadMode mode)
{
    NextBatch<Samples> out;
    wait_for_read_ahead([] { return false; });
    if (!decoding_) {
        out.end.first_index = out.end.stop_index = events_read_;
        return out;
    }
    out.end = std::visit(
        [&](auto& decoding) -> FillEnd {
            using Reader = std::remove_reference_t<decltype(decoding.decoder)>;
            using Sink = BatchSink<Reader, Samples>;
            before_last_.reset();
            Mark<Reader> before;
            if (ahead_ && ahead_->limits == limits) {
                const auto& ahead = std::get<ReadAheadOf<Reader>>(ahead_->batch);
                before = {.cursor = ahead.cursor, .progress = ahead.progress};
            }
            std::optional<FillEnd> end = take_read_ahead<Reader, Samples>(limits, out.columns);
            if (!end) {
                if (IoStatus status = put_back_read_ahead(decoding); !status.ok()) {
                    return failed_put_back(status.error());
                }
                before = {.cursor = decoding.decoder.cursor(), .progress = decoding.progress};
                auto& sink = out.columns.template emplace<Sink>(decoding.decoder.file(),
                                                                limits.fill.max_events, limits.max_bytes,
                                                                decoding.progress.watch, pool_.get());
                end = fill(decoding.decoder, sink, decoding.progress, limits.fill);
            }
            if (decoding.decoder.file().seekable()) {
                before_last_.emplace(std::in_place_type<Mark<Reader>>, std::move(before));
            }
            record_progress(decoding);
            const Sink& sink = std::get<Sink>(out.columns);
            pool_->allow(2 * sink.block_bytes());
            if (may_read_ahead(decoding, limits, *end, mode, sink)) {
                start_read_ahead<Samples>(decoding, limits);
            }
            return std::move(*end);
        },
        *decoding_);
    return out;
}

template <class GiveUp>
bool BatchStream::wait_for_read_ahead(GiveUp&& give_up)
{
    if (!ahead_) {
        return true;
    }
    while (!worker_.wait_for(std::chrono::milliseconds(50))) {
        if (give_up()) {
            return false;
        }
    }
    set_background(false);
    return true;
}

}  // namespace vesk
