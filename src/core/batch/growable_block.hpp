// A batch's columns are growable blocks: heap storage drawn from the pool of
// blocks that earlier batches gave back, placed where reads from the file are
// fastest, and handed to the module layer whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/mman.h>

#include "block_pool.hpp"
#include "buffered_file.hpp"

namespace vesk {

// Uninitialised heap storage that grows without losing what it holds. `data()`
// may start `lead` bytes into the heap block, so that reads from the file land
// where the kernel copies fastest; whoever takes the block frees it, or hands
// it back to the pool it came from.
class GrowableBlock {
public:
    GrowableBlock() = default;
    GrowableBlock(GrowableBlock&& other) noexcept { *this = std::move(other); }
    GrowableBlock& operator=(GrowableBlock&& other) noexcept
    {
        std::swap(block_, other.block_);
        std::swap(capacity_, other.capacity_);
        std::swap(lead_, other.lead_);
        std::swap(pool_, other.pool_);
        return *this;
    }
    ~GrowableBlock()
    {
        if (pool_ != nullptr) {
            pool_->give_back(release());
        } else {
            std::free(block_.base);
        }
    }

    // The first allocation is taken from `pool` when it holds a block of the
    // size, warm; the block goes back there if this one is dropped unused.
    void draw_from(BlockPool* pool) { pool_ = pool; }

    // Room for at least `bytes`; false when memory cannot be had (the block is
    // unchanged). The first allocation places data() where reads from file
    // offset `offset` are fastest (see alias_free_lead).
    bool reserve(std::size_t bytes, std::uint64_t offset = 0)
    {
        if (block_.base != nullptr && bytes <= capacity_) {
            return true;
        }
        if (block_.base == nullptr) {
            if (bytes > SIZE_MAX - kHugePage - kLeadSlack) {
                return false;
            }
            std::size_t size = bytes + kLeadSlack;
            HeapBlock block = pool_ != nullptr ? pool_->take(size) : HeapBlock{};
            if (block.base == nullptr) {
                // Large blocks start and end on a huge-page boundary, so that
                // every 2 MiB of them, the last included, can be a huge page
                // (see prefer_huge_pages); what lies past `bytes` is never
                // touched.
                void* fresh = nullptr;
                if (size < kHugePagesWorthIt) {
                    fresh = std::malloc(size);
                } else if (size = (size + kHugePage - 1) & ~(kHugePage - 1);
                           ::posix_memalign(&fresh, kHugePage, size) != 0) {
                    fresh = nullptr;
                }
                if (fresh == nullptr) {
                    return false;
                }
                prefer_huge_pages(fresh, size);
                block = {.base = fresh, .size = size};
            }
            block_ = block;
            lead_ = alias_free_lead(block.base, offset);
            capacity_ = block.size - lead_;
            return true;
        }
        void* grown = std::realloc(block_.base, lead_ + bytes);
        if (grown == nullptr) {
            return false;
        }
        prefer_huge_pages(grown, lead_ + bytes);
        block_ = {.base = grown, .size = lead_ + bytes};
        capacity_ = bytes;
        return true;
    }

    // Gives back what lies beyond `bytes` when that is most of the block (a
    // batch cut short by the end of its file); a block nearly full is kept
    // whole, to be found again by the next batch once this one is dropped.
    void shrink_to(std::size_t bytes)
    {
        if (block_.base != nullptr && bytes < capacity_ / 2) {
            if (void* shrunk = std::realloc(block_.base, lead_ + std::max<std::size_t>(bytes, 1))) {
                block_ = {.base = shrunk, .size = lead_ + std::max<std::size_t>(bytes, 1)};
                capacity_ = bytes;
            }
        }
    }

    std::byte* data() const { return static_cast<std::byte*>(block_.base) + lead_; }
    std::size_t capacity() const { return capacity_; }
    BlockPool* pool() const { return pool_; }
    // Hands the heap block to the caller, to be released with std::free or
    // given back to pool().
    HeapBlock release()
    {
        capacity_ = lead_ = 0;
        return std::exchange(block_, HeapBlock{});
    }

private:
    // Filling a large block faults it in page by page; with transparent huge
    // pages the kernel faults (and zeroes) 2 MiB at a time, several times
    // faster per byte. Only a hint: nothing depends on it.
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kHugePagesWorthIt = std::size_t{4} << 20;

    static void prefer_huge_pages(void* block, std::size_t bytes)
    {
        if (bytes < kHugePagesWorthIt) {
            return;
        }
        const auto start = reinterpret_cast<std::uintptr_t>(block);
        const std::uintptr_t page = (start + kPageSize - 1) & ~std::uintptr_t{kPageSize - 1};
        ::madvise(reinterpret_cast<void*>(page), bytes - (page - start), MADV_HUGEPAGE);
    }

    HeapBlock block_;
    std::size_t capacity_ = 0;
    std::size_t lead_ = 0;
    BlockPool* pool_ = nullptr;
};

}  // namespace vesk
