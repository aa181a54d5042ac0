// C++ exceptions must never reach the interpreter: every entry point of both
// modules runs its body through `guarded`.
#pragma once

#include <exception>
#include <new>

#include "py_ref.hpp"

namespace vesk {

// What an unexpected C++ exception becomes, by default.
inline void raise_system_error(const char* message) noexcept
{
    PyErr_SetString(PyExc_SystemError, message);
}

// The body's result; `failure` with an exception set when the body threw.
// Running out of memory is a MemoryError, and the object the body worked on
// stays usable: its state changes only once what it allocates is had.
//
// One unwind passes, one that is no C++ exception: the interpreter ends a
// thread that asks for its lock back while it is being torn down
// (pthread_exit, up to CPython 3.13), and that unwind must reach the thread's
// start; stopping it, or a noexcept frame on its way, aborts the process.
template <class Body>
auto guarded(Body&& body, decltype(body()) failure, void (*raise_other)(const char*)) -> decltype(body())
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_other(error.what());
    } catch (...) {
        if (!std::current_exception()) {
            throw;  // no C++ exception: the thread is being ended (see above)
        }
        raise_other("unknown C++ exception");
    }
    return failure;
}

}  // namespace vesk
