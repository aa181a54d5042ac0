// C++ exceptions must never reach the interpreter: every entry point of both
// modules runs its body through `guarded`.
#pragma once

#include <cxxabi.h>

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
// One unwind passes: the interpreter ends a thread that asks for its lock
// back while it is being torn down (pthread_exit, up to CPython 3.13), and the
// unwind that ends the thread must reach the thread's start; stopping it, or a
// noexcept frame on its way, aborts the process.
template <class Body>
auto guarded(Body&& body, decltype(body()) failure, void (*raise_other)(const char*)) -> decltype(body())
{
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_other(error.what());
    } catch (...) {
        raise_other("unknown C++ exception");
    }
    return failure;
}

}  // namespace vesk
