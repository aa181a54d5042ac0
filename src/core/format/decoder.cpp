#include "decoder.hpp"

#include <algorithm>

namespace vesk {

Outcome EventStream::restore_or_finish(Outcome outcome)
{
    if (IoStatus status = file_.restore(); !status.ok()) {
        finished_ = true;
        error_ = status.error();
        return Outcome::Error;
    }
    return outcome;
}

Outcome EventStream::abandon_event(const IoError& error)
{
    if (error.is_eof()) {
        return file_.seekable() ? restore_or_finish(Outcome::End) : Outcome::End;
    }
    error_ = error;
    if (finish_on_error_ && !error.is_interrupted() && !error.would_block()) {
        finished_ = true;
        return Outcome::Error;
    }
    if (IoStatus status = file_.restore(); !status.ok()) {
        finished_ = true;
    }
    return Outcome::Error;
}

IoStatus EventStream::resume_at(std::uint64_t offset)
{
    IoStatus status = file_.seekable() ? file_.move_to(offset) : file_.mark_at(offset);
    file_.forget_mark();
    unskipped_ = 0;
    return status;
}

Outcome EventStream::finish_skipping()
{
    if (unskipped_ == 0) {
        return Outcome::Event;
    }
    const std::uint64_t before = file_.position();
    IoStatus status = file_.skip(unskipped_);
    unskipped_ -= std::min(unskipped_, file_.position() - before);
    if (status.ok()) {
        unskipped_ = 0;
        return Outcome::Event;
    }
    if (status.error().is_eof()) {
        unskipped_ = 0;  // the stream ended inside the event
        return Outcome::End;
    }
    // What was skipped stays skipped; the next step goes on with the rest.
    error_ = status.error();
    if (finish_on_error_ && !error_.is_interrupted() && !error_.would_block()) {
        finished_ = true;
    }
    return Outcome::Error;
}

}  // namespace vesk
