// What a decoder's `next` answers: an event, the end of the stream, an input
// error, or a condition it cannot represent. Decoders never raise.
#pragma once

#include <variant>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

#include "buffered_file.hpp"

namespace vesk {

// Where a fault was detected, for the report. std::source_location where the
// standard library has it; the compiler builtins elsewhere (clang 14, which
// the fuzzers are built with, has no std::source_location).
struct SourceLocation {
    const char* file;
    unsigned line;
    unsigned column;

#if defined(__cpp_lib_source_location)
    static constexpr SourceLocation current(std::source_location here = std::source_location::current())
    {
        return SourceLocation{here.file_name(), here.line(), here.column()};
    }
#else
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE(),
                                            unsigned column = __builtin_COLUMN())
    {
        return SourceLocation{file, line, column};
    }
#endif
};

struct EndOfStream {};

// The step cannot go on: no memory for a payload the file can hold.
struct OutOfMemory {};

// A condition the decoder does not expect to survive, carried to the module
// layer, which reports it and raises the fault exception.
struct InternalFault {
    const char* message;
    SourceLocation where;
};

inline InternalFault capacity_overflow(SourceLocation where = SourceLocation::current())
{
    return InternalFault{"capacity overflow", where};
}

template <class Event>
using DecoderAnswer = std::variant<Event, EndOfStream, IoError, InternalFault, OutOfMemory>;

}  // namespace vesk
