// One contiguous heap block of samples, handed to NumPy as an array's memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include "buffered_file.hpp"
#include "sink.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

namespace detail {
struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
// Stands in for the storage of every empty array, an event's or a batch
// column's: NumPy wants a non-null, aligned address even for zero elements
// (as does the capsule that owns a column), and must not be made to allocate
// one.
alignas(16) inline std::byte empty_storage[16];
}  // namespace detail

template <class T>
class SampleBuffer {
public:
    SampleBuffer() = default;

    // Uninitialised storage for `count` samples (the read that follows fills
    // every byte, so zero-filling would be wasted work), to be read from file
    // offset `offset`. Samples large enough to be read straight from the file
    // start where the kernel copies them fastest (see alias_free_lead).
    // Nothing when memory cannot be had.
    static std::optional<SampleBuffer> allocate(std::size_t count, std::uint64_t offset)
    {
        SampleBuffer buffer;
        if (count == 0) {
            return buffer;
        }
        if (count > (SIZE_MAX - kLeadSlack) / sizeof(T)) {
            return std::nullopt;
        }
        const std::size_t bytes = count * sizeof(T);
        const bool read_directly = bytes >= BufferedFile::kDefaultReadSize;
        void* block = std::malloc(read_directly ? bytes + kLeadSlack : bytes);
        if (block == nullptr) {
            return std::nullopt;
        }
        const std::size_t lead = read_directly ? alias_free_lead(block, offset) : 0;
        buffer.block_.reset(block);
        buffer.data_ = reinterpret_cast<T*>(static_cast<std::byte*>(block) + lead);
        buffer.size_ = count;
        return buffer;
    }

    std::size_t size() const { return size_; }
    std::size_t size_bytes() const { return size_ * sizeof(T); }
    // Never null, aligned for T, even when empty.
    T* data() const { return data_ != nullptr ? data_ : reinterpret_cast<T*>(detail::empty_storage); }

    // Gives up ownership: the returned block (null when empty), which holds
    // data(), must then be released with std::free.
    void* release()
    {
        data_ = nullptr;
        return block_.release();
    }

private:
    std::unique_ptr<void, detail::FreeDeleter> block_;
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// The sink that decodes one event into its own sample block.
template <class Reader>
struct DecodedEvent {
    typename Reader::Header header;
    SampleBuffer<typename Reader::Sample> samples;
};

template <class Reader>
class SingleEventSink {
public:
    using Sample = typename Reader::Sample;
    static constexpr bool kReadsSamples = true;

    explicit SingleEventSink(const BufferedFile& file) : file_(file) {}

    bool wants(std::uint64_t) const { return true; }
    Sample* reserve(const typename Reader::Header&, std::size_t count)
    {
        std::optional<SampleBuffer<Sample>> samples = SampleBuffer<Sample>::allocate(count, file_.position());
        if (!samples) {
            return nullptr;
        }
        event.samples = std::move(*samples);
        return event.samples.data();
    }
    void commit(const typename Reader::Header& header) { event.header = header; }

    DecodedEvent<Reader> event{};

private:
    const BufferedFile& file_;
};

static_assert(EventSink<SingleEventSink<WD1Reader>, WD1Header, WD1Reader::Sample>);
static_assert(EventSink<SingleEventSink<WD2Reader>, WD2Header, WD2Reader::Sample>);

}  // namespace vesk
