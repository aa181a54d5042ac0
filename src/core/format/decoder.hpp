// What one step of a decoder does, and the rules both decoders share: an event
// is read as a transaction that either completes or leaves the reader at the
// event's first byte, so that nothing is lost or made up when a file ends
// mid-event, a signal interrupts a read, or a read fails. A decoder step hands
// the event to a sink (see sink.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffered_file.hpp"
#include "little_endian.hpp"
#include "sink.hpp"

namespace vesk {

enum class Outcome : std::uint8_t {
    Event,        // the sink holds one more event
    End,          // no complete event: the file ended before or inside one
    Error,        // a read failed (error() tells how); see the decoders for what follows
    Damaged,      // the header gives a length no memory can represent; the header is consumed
    OutOfMemory,  // the samples could not be stored; the whole event is consumed
    Declined,     // the sink wanted no more events; the reader is at the event's first byte
};

// Lengths of 2^63 bytes or more cannot be represented in a byte count.
inline constexpr std::uint64_t kFirstUnrepresentable = std::uint64_t{1} << 63;

// Whether event counter `b` comes after `a`: within half the 32-bit range, so
// that counters may wrap, and by any step, since a digitizer that drops events
// or a filter that keeps some leaves gaps.
inline bool rises(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::uint32_t>(b - a - 1u) < 0x7FFFFFFFu;
}

class EventStream {
public:
    // The error of the last step that answered Outcome::Error.
    const IoError& error() const { return error_; }
    // Where the last event met (or damaged) starts in the file.
    std::uint64_t event_start() const { return event_start_; }
    BufferedFile& file() { return file_; }
    const BufferedFile& file() const { return file_; }

    // Goes on reading at `offset`, at or after the event met last (after
    // damage, at the next good event a scan found). The bytes between are
    // let go.
    IoStatus resume_at(std::uint64_t offset);

    // Where the stream stands between two calls, to come back to later: a
    // batch read ahead that the next call does not take is put back. Only a
    // regular file can go back.
    struct Cursor {
        std::uint64_t position = 0;
        std::uint64_t event_start = 0;
        std::uint64_t unskipped = 0;
        bool finished = false;
        IoError error = IoError::unexpected_eof();
    };
    Cursor cursor() const
    {
        return {.position = file_.position(),
                .event_start = event_start_,
                .unskipped = unskipped_,
                .finished = finished_,
                .error = error_};
    }
    IoStatus rewind(const Cursor& to)
    {
        file_.forget_mark();
        if (IoStatus status = file_.move_to(to.position); !status.ok()) {
            return status;
        }
        event_start_ = to.event_start;
        unskipped_ = to.unskipped;
        finished_ = to.finished;
        error_ = to.error;
        return io_ok();
    }

protected:
    // finish_on_error: whether a read error other than an interrupt ends the
    // stream for good (instead of retrying the event at the next step).
    EventStream(BufferedFile file, bool finish_on_error)
        : file_(std::move(file)), finish_on_error_(finish_on_error)
    {
    }

    void begin_event()
    {
        event_start_ = file_.position();
        file_.mark();
    }

    // A read inside the event failed. The end of a regular file goes back to
    // the event's first byte, so that a file still being written is read on
    // later; a stream's end is final. Any other error goes back too, so that a
    // retry rereads the whole event; where that is impossible, or the format
    // says so, the stream is finished.
    Outcome abandon_event(const IoError& error);

    // Reads (or skips) `count` samples into the sink and completes the event.
    // A payload larger than the rest of a regular file is a truncated event
    // and is never allocated.
    template <class Sample, class Header, EventSink<Header, Sample> Sink>
    Outcome take_payload(Sink& sink, const Header& header, std::uint64_t count)
    {
        const std::uint64_t bytes = count * sizeof(Sample);
        if (file_.ends_within(bytes)) {
            return abandon_event(IoError::unexpected_eof());
        }
        if (!sink.wants(bytes)) {
            return restore_or_finish(Outcome::Declined);
        }
        if constexpr (requires { sink.map(count, std::uint64_t{}); }) {
            if (sink.maps_samples()) {
                // All of a mapped file is buffered: the samples are where they lie.
                const std::uint64_t place = file_.position();
                if (file_.buffered() < bytes) {
                    return abandon_event(IoError::unexpected_eof());
                }
                if (!sink.map(static_cast<std::size_t>(count), place)) {
                    return passed_over(bytes);
                }
                file_.consume(static_cast<std::size_t>(bytes));
                sink.commit(header);
                return Outcome::Event;
            }
        }
        if constexpr (Sink::kReadsSamples) {
            Sample* destination = sink.reserve(header, static_cast<std::size_t>(count));
            if (destination == nullptr) {
                return passed_over(bytes);
            }
            if (IoStatus status = file_.read_exact(destination, bytes); !status.ok()) {
                return abandon_event(status.error());
            }
            samples_to_native_order(destination, static_cast<std::size_t>(count));
        } else {
            if (IoStatus status = file_.skip(bytes); !status.ok()) {
                return abandon_event(status.error());
            }
        }
        sink.commit(header);
        return Outcome::Event;
    }

    Outcome restore_or_finish(Outcome outcome);

    // An event whose samples (`bytes`) memory cannot hold is consumed whole, so
    // that the next step reads the next header and not these samples; a
    // stream reads them through without keeping them.
    Outcome passed_over(std::uint64_t bytes)
    {
        file_.forget_mark();
        unskipped_ = bytes;
        const Outcome skipped = finish_skipping();
        return skipped == Outcome::Event ? Outcome::OutOfMemory : skipped;
    }

    // Reads through what is left of an event whose samples memory could not
    // hold (`unskipped_` bytes); Event once nothing is left. Interrupted, the
    // next step goes on with it, so the event is still consumed whole.
    Outcome finish_skipping();

    BufferedFile file_;
    IoError error_ = IoError::unexpected_eof();
    std::uint64_t event_start_ = 0;
    std::uint64_t unskipped_ = 0;
    bool finished_ = false;
    bool finish_on_error_;
};

}  // namespace vesk
