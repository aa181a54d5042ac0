// What one vesk_arrays._core.Reader holds, and how its calls run.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "batch_stream.hpp"
#include "interpreter_hooks.hpp"
#include "py_errors.hpp"

namespace vesk {

// What a reader holds besides its Python header. Calls are served one at a
// time under `mutex`, taken with the interpreter lock released.
struct ReaderState {
    std::timed_mutex mutex;
    ReleasedLockHooks hooks;  // outlives the stream's file
    // Made, under `mutex`, once the source is open; kept until the reader goes
    // (closed, it still answers its counters).
    std::optional<BatchStream> stream;
    // The stream's pool, made first: the fork hooks lock it whether or not a
    // call is under way.
    std::shared_ptr<BlockPool> pool = std::make_shared<BlockPool>();
    bool follow = false;
    bool finite_stream = false;  // see FillLimits
    bool mapped = false;         // the samples stay in the file's mapping
    PyRef path;                  // what messages call the file
    PyRef file;                  // a Python file object being read, if any
    // The size of `file` when it is a ranged file (read at offsets), else nothing.
    std::optional<std::uint64_t> ranged_size;
    SavedError source_error;  // why reading `file` failed
    std::atomic<bool> closed{false};
    // In a forked child: another thread was inside a call at the fork, and the
    // reader, half way through that call, refuses every other.
    std::atomic<bool> lost_at_fork{false};
    // For the fork hooks (fork_hooks.cpp), under their registry's mutex.
    ReaderState* previous_reader = nullptr;
    ReaderState* next_reader = nullptr;
    bool held_for_fork = false;

    ReaderState() = default;
    ReaderState(const ReaderState&) = delete;
    ReaderState& operator=(const ReaderState&) = delete;
    ~ReaderState()
    {
        stream.reset();  // waits for a read-ahead, which reads with `hooks`
        pool->close();   // batches still held free their blocks when dropped
    }
};

// A Reader object: its state lives apart, so that a reader lost at a fork can
// be left as it is (see batch_reader.cpp).
struct ReaderObject {
    PyObject_HEAD
    ReaderState* state;
};

inline ReaderState& state_of(PyObject* self)
{
    return *reinterpret_cast<ReaderObject*>(self)->state;
}

// Runs `body` with the interpreter lock released and the reader's mutex held,
// once a batch read ahead is done (it holds the decoder until then). Waiting
// for another thread's call to finish (which may wait on a silent FIFO for
// ever) or for a read-ahead runs signal handlers now and then, so that Ctrl-C
// ends the wait: then nothing is returned, with the handler's exception set,
// and a read-ahead goes on, for the next call. The lock is taken back however
// the body ends, a C++ exception included.
template <class Body>
auto without_interpreter_lock(ReaderState& state, Body&& body) -> std::optional<decltype(body())>
{
    std::unique_lock<std::timed_mutex> hold(state.mutex, std::defer_lock);
    {
        ReleasedInterpreter released;
        while (!hold.try_lock_for(std::chrono::milliseconds(50))) {
            if (released.run_signal_handlers()) {
                return std::nullopt;
            }
        }
        state.hooks.saved = released.hand_over();
    }
    struct Relock {
        ReaderState& state;
        std::unique_lock<std::timed_mutex>& hold;
        // Not noexcept: the interpreter may end the thread here (see guarded).
        ~Relock() noexcept(false)
        {
            // The hooks may have taken the lock back and saved a new state;
            // read it before another thread's call can overwrite it. None
            // when the interpreter is ending this thread from inside the
            // hooks: the lock is not asked for again.
            PyThreadState* current = std::exchange(state.hooks.saved, nullptr);
            hold.unlock();
            ReleasedInterpreter::take_back(current);
        }
    } relock{state, hold};
    if (state.stream
        && !state.stream->wait_for_read_ahead([&] { return state.hooks.run_signal_handlers(); })) {
        return std::nullopt;
    }
    return body();
}

}  // namespace vesk
