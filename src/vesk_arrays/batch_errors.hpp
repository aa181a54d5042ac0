// The one place that turns vesk_arrays' input errors and run ends into
// exceptions.
#pragma once

#include "batch_run.hpp"
#include "reader_state.hpp"

namespace vesk {

// Raises the exception for `error`: OSError subclasses in Python's own wording
// ("[Errno 2] No such file or directory: 'run.wd1'"), a file object's own
// exception, or nothing new after an interruption (its exception is set).
void raise_io_error(const IoError& error, ReaderState& state);

// Raises vesk_arrays.DamagedEventError.
void raise_damaged(PyObject* path, std::uint64_t index, std::uint64_t offset, const char* reason);

// Why events of the reader's format are damaged.
const char* damage_reason(const ReaderState& state);

// Raises the error an earlier call kept for this one; false when there is none.
bool raise_pending(ReaderState& state);

// Raises what ended a run that produced no events, or keeps it for the next
// call when some were produced. False when an exception is now set.
bool settle(ReaderState& state, const RunEnd& end, std::size_t produced);

// [(index, offset, reason), ...] of the damaged events met.
PyObject* damage_list(const std::vector<Damage>& damaged, const char* reason);

}  // namespace vesk
