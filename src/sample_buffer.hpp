// One contiguous heap block of samples, handed to NumPy as an array's memory.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

namespace vesk {

namespace detail {
struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
// Stands in for the storage of empty vectors: NumPy wants a non-null, aligned
// address even for zero elements, and must not be made to allocate one.
alignas(16) inline std::byte empty_storage[16];
}  // namespace detail

template <class T>
class SampleBuffer {
public:
    SampleBuffer() = default;

    // Uninitialised storage for `count` samples (the read that follows fills
    // every byte, so zero-filling would be wasted work). An empty buffer on
    // count 0; nothing owned and ok() false when memory cannot be had.
    static SampleBuffer allocate(std::size_t count)
    {
        SampleBuffer buffer;
        if (count == 0) {
            buffer.valid_ = true;
            return buffer;
        }
        if (count > SIZE_MAX / sizeof(T)) {
            return buffer;
        }
        buffer.block_.reset(static_cast<T*>(std::malloc(count * sizeof(T))));
        if (buffer.block_) {
            buffer.size_ = count;
            buffer.valid_ = true;
        }
        return buffer;
    }

    bool ok() const { return valid_; }
    std::size_t size() const { return size_; }
    std::size_t size_bytes() const { return size_ * sizeof(T); }
    // Never null, aligned for T, even when empty.
    T* data() { return block_ ? block_.get() : reinterpret_cast<T*>(detail::empty_storage); }

    // Gives up ownership: the block (null when empty) must then be released
    // with std::free.
    T* release() { return block_.release(); }

private:
    std::unique_ptr<T, detail::FreeDeleter> block_;
    std::size_t size_ = 0;
    bool valid_ = false;
};

}  // namespace vesk
