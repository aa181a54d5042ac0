#include "decoder.hpp"

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
    if (finish_on_error_ && !error.is_interrupted()) {
        finished_ = true;
        return Outcome::Error;
    }
    if (IoStatus status = file_.restore(); !status.ok()) {
        finished_ = true;
    }
    return Outcome::Error;
}

}  // namespace vesk
