// What one vesk_arrays._core.Reader holds, and how its calls run.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <variant>

#include "interpreter_hooks.hpp"
#include "py_errors.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

using Decoder = std::variant<WD1Reader, WD2Reader>;

// What a reader holds besides its Python header. Calls are served one at a
// time under `mutex`, taken with the interpreter lock released.
struct ReaderState {
    std::mutex mutex;
    ReleasedLockHooks hooks;         // outlives the decoder's file
    std::optional<Decoder> decoder;  // nothing once closed
    PyRef path;                      // what messages call the file
    PyRef file;                      // a Python file object being read, if any
    SavedError source_error;         // why reading `file` failed
    std::uint64_t events_read = 0;
    // An error met after some events of a batch were decoded: those are
    // returned, and the error is raised by the next call.
    SavedError pending;
};

// Runs `body` with the interpreter lock released and the reader's mutex held.
template <class Body>
auto without_interpreter_lock(ReaderState& state, Body&& body)
{
    PyThreadState* saved = PyEval_SaveThread();
    std::lock_guard<std::mutex> hold(state.mutex);
    state.hooks.saved = saved;
    auto result = body();
    PyEval_RestoreThread(state.hooks.saved);
    return result;
}

}  // namespace vesk
