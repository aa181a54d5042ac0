// Heap blocks of batches that no one references any more, kept for the next
// batches of the same reader. A large block freed goes back to the kernel, and
// the next batch's block of the same size comes back as fresh pages that are
// faulted in and zeroed again, much slower than copying into memory that is
// already mapped. Blocks are handed back from whichever thread drops
// the last array, so the pool locks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace vesk {

// A heap block as malloc gave it: released with std::free.
struct HeapBlock {
    void* base = nullptr;
    std::size_t size = 0;
};

class BlockPool {
public:
    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool() { close(); }

    // A kept block of at least `size` bytes and not much more, so that a
    // small column never takes the samples' block; nothing when none fits.
    HeapBlock take(std::size_t size)
    {
        std::lock_guard hold(mutex_);
        auto best = kept_.end();
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->size >= size && it->size - size <= size / 2 + kSlack
                && (best == kept_.end() || it->size < best->size)) {
                best = it;
            }
        }
        if (best == kept_.end()) {
            return {};
        }
        const HeapBlock block = *best;
        kept_bytes_ -= block.size;
        kept_.erase(best);
        return block;
    }

    // Keeps `block` for later while the pool holds less than its budget (the
    // largest blocks first), else frees it; after close() everything is freed.
    // Called from destructors: it allocates nothing but the one slot it may
    // fail to get, and then frees the block instead.
    void give_back(HeapBlock block) noexcept
    {
        if (block.base == nullptr) {
            return;
        }
        {
            std::lock_guard hold(mutex_);
            if (!closed_) {
                try {
                    kept_.push_back(block);
                    kept_bytes_ += block.size;
                    block = {};
                } catch (const std::bad_alloc&) {
                }
            }
        }
        std::free(block.base);
        // Over budget: the smallest blocks go, each freed outside the lock.
        while (void* freed = take_smallest_over_budget()) {
            std::free(freed);
        }
    }

    // The pool keeps up to `bytes`: what the batches of a reader that hold
    // their memory alive between calls need to find again.
    void allow(std::size_t bytes)
    {
        std::lock_guard hold(mutex_);
        budget_ = std::max(budget_, bytes);
    }

    // Held across a fork, so that a forked child never finds the pool locked
    // by a thread it does not have.
    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }

    // Frees what is kept; blocks given back from now on are freed at once.
    void close()
    {
        std::vector<HeapBlock> kept;
        {
            std::lock_guard hold(mutex_);
            closed_ = true;
            kept.swap(kept_);
            kept_bytes_ = 0;
        }
        for (const HeapBlock& block : kept) {
            std::free(block.base);
        }
    }

private:
    // The base of the smallest kept block, taken out, while the pool holds
    // more than its budget; null once it does not.
    void* take_smallest_over_budget() noexcept
    {
        std::lock_guard hold(mutex_);
        if (kept_bytes_ <= budget_ || kept_.empty()) {
            return nullptr;
        }
        auto smallest =
            std::min_element(kept_.begin(), kept_.end(),
                             [](const HeapBlock& a, const HeapBlock& b) { return a.size < b.size; });
        void* base = smallest->base;
        kept_bytes_ -= smallest->size;
        *smallest = kept_.back();
        kept_.pop_back();
        return base;
    }

    static constexpr std::size_t kSlack = std::size_t{64} << 10;

    std::mutex mutex_;
    std::vector<HeapBlock> kept_;
    std::size_t kept_bytes_ = 0;
    std::size_t budget_ = 0;
    bool closed_ = false;
};

}  // namespace vesk
