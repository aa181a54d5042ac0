// The one place that turns input errors into Python exceptions.
#pragma once

#include "io_error.hpp"

namespace vesk {

// An interruption (IoError::Interrupted) leaves the exception that the signal
// handler raised in place.
//
// Raises the exception class that the error's errno or kind selects
// (FileNotFoundError for ENOENT, MemoryError for ENOMEM, ...), with the
// error's display text as its one argument.
void raise_io_error(const IoError& error);

// Raises plain OSError with the error's display text, whatever its kind.
void raise_plain_os_error(const IoError& error);

}  // namespace vesk
