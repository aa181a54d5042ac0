// What a decoder's `next` answers: an event, the end of the stream, an input
// error, or a condition it cannot represent. Decoders never raise.
#pragma once

#include <source_location>
#include <variant>

#include "buffered_file.hpp"

namespace vesk {

struct EndOfStream {};

// The step cannot go on: no memory for a payload the file can hold.
struct OutOfMemory {};

// A condition the decoder does not expect to survive, carried to the module
// layer, which reports it and raises the fault exception.
struct InternalFault {
    const char* message;
    std::source_location where;
};

inline InternalFault capacity_overflow(std::source_location where = std::source_location::current())
{
    return InternalFault{"capacity overflow", where};
}

template <class Event>
using DecoderAnswer = std::variant<Event, EndOfStream, IoError, InternalFault, OutOfMemory>;

}  // namespace vesk
