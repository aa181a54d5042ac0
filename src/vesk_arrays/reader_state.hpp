// What one vesk_arrays._core.Reader holds, and how its calls run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "batch_columns.hpp"
#include "batch_fill.hpp"
#include "block_pool.hpp"
#include "formats.hpp"
#include "interpreter_hooks.hpp"
#include "py_errors.hpp"
#include "worker_thread.hpp"

namespace vesk {

// A decoder and what its file has shown so far.
template <class Reader>
struct BatchDecoder {
    Reader reader;
    FileProgress<Reader> progress;
};

using AnyBatchDecoder = PerFormat<BatchDecoder>;

// The limits of one read call.
struct CallLimits {
    FillLimits fill;
    std::optional<std::uint64_t> max_bytes;
    bool samples = true;  // false: header columns only, payloads skipped
    bool operator==(const CallLimits& other) const
    {
        return fill.max_events == other.fill.max_events && fill.stop_index == other.fill.stop_index
               && fill.skip_damaged == other.fill.skip_damaged && fill.follow == other.fill.follow
               && max_bytes == other.max_bytes && samples == other.samples;
    }
};

// A batch read on a thread of its own while Python works on the one before,
// for the next call with the same limits. Any other call puts the reader back
// where it stood before (`cursor`, `progress`), and the batch is dropped.
template <class Reader>
struct ReadAheadOf {
    typename Reader::Cursor cursor;
    FileProgress<Reader> progress;
    std::optional<BatchSink<Reader, true>> sink;
    std::optional<BatchSink<Reader, false>> headers;  // for a call without samples

    template <bool Samples>
    auto& sink_of()
    {
        if constexpr (Samples) {
            return sink;
        } else {
            return headers;
        }
    }
};

struct ReadAhead {
    CallLimits limits;
    std::variant<ReadAheadOf<WD1Reader>, ReadAheadOf<WD2Reader>> batch;
    FillEnd end;
    std::exception_ptr failure;  // what the fill threw, for the call that takes it
};

// What a reader holds besides its Python header. Calls are served one at a
// time under `mutex`, taken with the interpreter lock released.
struct ReaderState {
    std::timed_mutex mutex;
    ReleasedLockHooks hooks;  // outlives the decoder's file
    // Used under `mutex`: the decoder, or, for a WD2 source that does not yet
    // hold enough bytes to tell its layout, the source itself; neither once
    // closed.
    std::optional<AnyBatchDecoder> decoder;
    std::optional<BufferedFile> unprobed;
    Format format = Format::WD1;
    LayoutRequest layout = LayoutRequest::Probe;
    bool follow = false;
    bool finite_stream = false;  // see FillLimits
    PyRef path;                  // what messages call the file
    PyRef file;                  // a Python file object being read, if any
    SavedError source_error;     // why reading `file` failed
    // Blocks of the batches no one holds any more, for the next ones.
    std::shared_ptr<BlockPool> pool = std::make_shared<BlockPool>();
    // Reads batches ahead; kept from the first until the reader closes.
    WorkerThread worker;
    // Used under `mutex`, once the worker is done with it (see wait_for_read_ahead).
    std::unique_ptr<ReadAhead> ahead;
    // Changed under `mutex`, read by anyone: as of the last batch handed out.
    std::atomic<std::uint64_t> events_read{0};
    std::atomic<std::uint64_t> trailing_bytes{0};
    std::atomic<std::uint64_t> position{0};
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
        drop_read_ahead();
        pool->close();  // batches still held free their blocks when dropped
    }
    // Waits for a batch being read ahead without running Python, drops it and
    // ends the worker: for when the reader goes away or its decoder is dropped.
    void drop_read_ahead()
    {
        worker.stop();
        ahead.reset();
        hooks.in_background = false;
    }
};

// Waits, with the reader's mutex held and the interpreter lock released (as
// `state.hooks.saved`), until a batch read ahead is done; signal handlers run
// now and then, so that Ctrl-C ends the wait: then false, with the handler's
// exception set, and the read-ahead still going.
inline bool wait_for_read_ahead(ReaderState& state)
{
    if (!state.ahead) {
        return true;
    }
    while (!state.worker.wait_for(std::chrono::milliseconds(50))) {
        state.hooks.take_lock();
        const bool raised = PyErr_CheckSignals() < 0;
        state.hooks.release_lock();
        if (raised) {
            return false;
        }
    }
    state.hooks.in_background = false;
    return true;
}

// Runs `body` with the interpreter lock released and the reader's mutex held.
// Waiting for another thread's call to finish (which may wait on a silent
// FIFO for ever) runs signal handlers now and then, so that Ctrl-C ends the
// wait: then nothing is returned, with the handler's exception set. The lock
// is taken back however the body ends, a C++ exception included.
template <class Body>
auto without_interpreter_lock(ReaderState& state, Body&& body) -> std::optional<decltype(body())>
{
    PyThreadState* saved = PyEval_SaveThread();
    std::unique_lock<std::timed_mutex> hold(state.mutex, std::defer_lock);
    while (!hold.try_lock_for(std::chrono::milliseconds(50))) {
        PyEval_RestoreThread(saved);
        if (PyErr_CheckSignals() < 0) {
            return std::nullopt;
        }
        saved = PyEval_SaveThread();
    }
    state.hooks.saved = saved;
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
            if (current != nullptr) {
                PyEval_RestoreThread(current);
            }
        }
    } relock{state, hold};
    // A read-ahead holds the decoder until it is done.
    if (!wait_for_read_ahead(state)) {
        return std::nullopt;
    }
    return body();
}

}  // namespace vesk
