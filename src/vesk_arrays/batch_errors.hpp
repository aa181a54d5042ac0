// The one place that turns vesk_arrays' input errors into exceptions.
#pragma once

#include "reader_state.hpp"

namespace vesk {

// Raises the exception for `error`: OSError subclasses in Python's own wording
// ("[Errno 2] No such file or directory: 'run.wd1'"), a file object's own
// exception, or nothing new after an interruption (its exception is set).
void raise_read_error(const IoError& error, ReaderState& state);

}  // namespace vesk
