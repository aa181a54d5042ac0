#include "fork_hooks.hpp"

#include <chrono>
#include <mutex>

#include <pthread.h>

namespace vesk {

namespace {

// The readers of the process, linked through their states. Taken by the
// fork's first hook and let go by the last, so that no reader comes or goes
// during a fork.
std::mutex registry_mutex;
ReaderState* first_reader = nullptr;
bool hooks_installed = false;

void before_fork()
{
    registry_mutex.lock();
    for (ReaderState* state = first_reader; state != nullptr; state = state->next_reader) {
        // Never waits for a call: one may wait on a silent FIFO for ever.
        state->held_for_fork = state->mutex.try_lock();
        if (state->held_for_fork && state->stream) {
            // A batch read ahead, on a thread of its own, ends in bounded
            // time (regular files only): the child has no thread to end it.
            while (!state->stream->read_ahead_done_within(std::chrono::milliseconds(50))) {
            }
        }
        // Blocks are given back from any thread; the pool locks only briefly.
        state->pool->lock_for_fork();
    }
}

void after_fork(bool child)
{
    for (ReaderState* state = first_reader; state != nullptr; state = state->next_reader) {
        state->pool->unlock_after_fork();
        if (state->held_for_fork) {
            state->held_for_fork = false;
            state->mutex.unlock();
        } else if (child) {
            state->lost_at_fork = true;
        }
    }
    registry_mutex.unlock();
}

void after_fork_in_parent()
{
    after_fork(false);
}

void after_fork_in_child()
{
    after_fork(true);
}

}  // namespace

void register_reader(ReaderState& state)
{
    std::lock_guard hold(registry_mutex);
    if (!hooks_installed) {
        // Without the hooks (no memory for them), forks go on as before.
        hooks_installed = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    }
    state.next_reader = first_reader;
    if (first_reader != nullptr) {
        first_reader->previous_reader = &state;
    }
    first_reader = &state;
}

void unregister_reader(ReaderState& state)
{
    std::lock_guard hold(registry_mutex);
    if (state.previous_reader != nullptr) {
        state.previous_reader->next_reader = state.next_reader;
    } else if (first_reader == &state) {
        first_reader = state.next_reader;
    }
    if (state.next_reader != nullptr) {
        state.next_reader->previous_reader = state.previous_reader;
    }
    state.previous_reader = state.next_reader = nullptr;
}

}  // namespace vesk
