// Read-only, buffered byte source under both event decoders.
//
// Knows nothing of Python. Every failure is returned as an IoError value that
// tells a file that ran out (UnexpectedEof) from a file that could not be read,
// which is what lets a decoder end quietly on a truncated last event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "byte_source.hpp"
#include "io_error.hpp"

namespace vesk {

class FileMapping;

// On these machines the kernel copies out of the page cache several times more
// slowly when the destination sits 1 to 63 bytes past the file offset, modulo a
// page (4K aliasing). Every read destination is placed to avoid that.
inline constexpr std::size_t kPageSize = 4096;
inline constexpr std::size_t kAliasingWindow = 64;

// True when reading file offset `offset` into `destination` avoids 4K aliasing.
inline bool alias_free(const void* destination, std::uint64_t offset)
{
    const auto gap = (reinterpret_cast<std::uintptr_t>(destination) - offset) % kPageSize;
    return gap == 0 || gap >= kAliasingWindow;
}

// How far into a block of kLeadSlack spare bytes a destination for file
// offset `offset` should start: 16-byte aligned, and 64 to 79 bytes short of
// the offset modulo a page. The kernel fills it at full speed whatever the
// offset's own alignment, and the samples of the events that follow in the
// same block too: each event's samples come closer to their file offset by its
// header's length, and reach the slow window only after a hundred events or
// more (placed just past the offset, the second and third would be in it).
inline constexpr std::size_t kLeadSlack = kPageSize + kAliasingWindow + 16;
inline std::size_t alias_free_lead(const void* block, std::uint64_t offset)
{
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    // The address at or past start + kAliasingWindow that lies at `offset` modulo a page.
    const std::uintptr_t at_offset =
        start + kAliasingWindow + static_cast<std::uintptr_t>((offset - start - kAliasingWindow) % kPageSize);
    const std::uintptr_t destination = (at_offset - kAliasingWindow) & ~std::uintptr_t{15};
    return static_cast<std::size_t>(destination - start);
}

class BufferedFile {
public:
    static constexpr std::size_t kDefaultReadSize = 8192;
    // Reads that large or larger, finding the buffer empty, go straight to their
    // destination instead of through the buffer.
    static constexpr std::size_t kMaxDirectThreshold = 128 * 1024;

    // Opens `path` (UTF-8, used unchanged) read-only and close-on-exec; refills
    // read `read_size` bytes at a time.
    static IoResult<BufferedFile> open(std::string_view path, std::size_t read_size = kDefaultReadSize,
                                       IoHooks* hooks = nullptr);
    // Buffers any source; an error only when the buffer cannot be had.
    static IoResult<BufferedFile> over(std::unique_ptr<ByteSource> source,
                                       std::size_t read_size = kDefaultReadSize);
    // A mapped file, whose buffer is the mapping (see file_mapping.hpp).
    static BufferedFile over_mapping(std::shared_ptr<FileMapping> mapping);

    BufferedFile(BufferedFile&&) noexcept = default;
    BufferedFile& operator=(BufferedFile&&) noexcept = default;

    // Fills dst with exactly n bytes. Bytes delivered before a failure stay
    // consumed, until restore() (below) gives them back.
    IoStatus read_exact(void* dst, std::size_t n)
    {
        if (filled_ - pos_ >= n) {
            if (n != 0) {
                std::memcpy(dst, buffer_.get() + pos_, n);
            }
            pos_ += n;
            return io_ok();
        }
        return read_exact_slow(static_cast<std::byte*>(dst), n);
    }

    // Consumes n bytes. On a regular file the bytes beyond the buffer are
    // skipped with a seek, never read; a skip past the end of the file leaves
    // the stream at its end and answers UnexpectedEof, as a read would.
    IoStatus skip(std::uint64_t n);

    // Back to offset 0 with the buffer discarded.
    IoStatus rewind();

    // Events are read as transactions: mark() where one starts, restore() to go
    // back to that byte when it cannot be completed now (the file ended inside
    // it, a signal interrupted it, a read failed). A regular file seeks back; a
    // stream keeps every byte read since the mark in the buffer, which grows to
    // hold them, so that nothing read is lost.
    void mark();
    IoStatus restore();
    // The event will not be restored: a stream stops keeping its bytes.
    void forget_mark() { mark_.reset(); }

    // True when the file is regular and certainly ends before n more bytes can
    // be read from the current position. The size is re-read from the file
    // system before saying so, so a file that is still being written is judged
    // by its current length.
    bool ends_within(std::uint64_t n);

    // Bytes from the current position to the end of a regular file, as last
    // seen; nothing for a stream.
    std::optional<std::uint64_t> remaining() const;

    // The bytes buffered and not yet consumed, to be decoded in place, and
    // consuming n of them.
    std::size_t buffered() const { return filled_ - pos_; }
    const std::byte* buffered_data() const { return buffer_.get() + pos_; }
    void consume(std::size_t n) { pos_ += n; }

    // Fills the pieces in order: first from the buffer, then with one
    // scatter-read straight from the file (pieces are adjusted on the way).
    // The count delivered, or the error (bytes taken from the buffer before
    // it stay consumed).
    IoResult<std::size_t> read_scattered(iovec* pieces, int count);

    // Bytes a read straight into place brought past what was used there,
    // taken back so that they are not read again: the last n bytes read
    // become the buffered bytes, the position going back to the first of
    // them, and the caller copies them to the place returned. Nothing (and no
    // change) where they do not fit the buffer or the buffer still holds
    // bytes; only a regular file is asked.
    std::byte* take_back(std::size_t n)
    {
        if (mapping_ || pos_ != filled_ || n > capacity_ || n > source_offset_) {
            return nullptr;
        }
        pos_ = retained_ = 0;
        filled_ = n;
        return buffer_.get();
    }
    std::size_t capacity() const { return capacity_; }

    // Up to n bytes from file offset `offset` (on a stream, not before the
    // mark) into dst, without consuming anything: the count, short only where
    // the file ends. A stream reads ahead and keeps what it read in the
    // buffer, at most `limit` bytes past the mark (StreamTooLarge beyond).
    IoResult<std::size_t> peek(std::uint64_t offset, void* dst, std::size_t n, std::uint64_t limit);

    // While set, a stream's peek reads nothing more from its source: a look
    // ahead sees only the bytes already held, for a live stream must not wait
    // for bytes not yet written. A short count then says nothing of the end.
    void set_held_only(bool on) { held_only_ = on; }
    bool held_only() const { return held_only_; }

    // Moves the read position forward to `offset`, and the mark with it: what
    // a stream kept before `offset` is let go.
    IoStatus mark_at(std::uint64_t offset);

    // A regular file's position moved to `offset`, the buffer dropped.
    IoStatus seek(std::uint64_t offset) { return seek_to(offset); }
    // The same, but within the buffered bytes when they hold `offset`: going
    // on just past damage costs no system call.
    IoStatus move_to(std::uint64_t offset)
    {
        const std::uint64_t window_start = source_offset_ - (filled_ - retained_);
        if (offset >= window_start && offset <= source_offset_) {
            pos_ = filled_ - static_cast<std::size_t>(source_offset_ - offset);
            return io_ok();
        }
        return seek_to(offset);
    }

    // Where the bytes read from the source so far end.
    std::uint64_t read_end() const { return source_offset_; }

    // The size of a regular file, or of a stream whose end has been read;
    // nothing while a stream may hold more.
    std::optional<std::uint64_t> known_size()
    {
        if (seekable_) {
            return source_->size();
        }
        return source_ended_ ? std::optional<std::uint64_t>(source_offset_) : std::nullopt;
    }

    // Logical read position: bytes consumed since offset 0.
    std::uint64_t position() const { return source_offset_ - (filled_ - pos_); }
    bool seekable() const { return seekable_; }
    ByteSource& source() { return *source_; }
    // The mapping that is the buffer of a mapped file; null otherwise.
    const std::shared_ptr<FileMapping>& mapping() const { return mapping_; }

private:
    struct PageFree {
        PageFree() noexcept : owned(true) {}
        explicit PageFree(bool owns) noexcept : owned(owns) {}
        bool owned;  // false for a mapping, which is not the buffer's to free
        void operator()(std::byte* block) const;
    };
    using Block = std::unique_ptr<std::byte[], PageFree>;

    BufferedFile(std::unique_ptr<ByteSource> source, Block buffer, std::size_t capacity,
                 std::size_t read_size);

    IoStatus read_exact_slow(std::byte* dst, std::size_t n);
    // One read from the source into the buffer, after the retained bytes when a
    // stream is marked, else at an offset that avoids 4K aliasing; of at most
    // `limit` bytes.
    IoStatus fill_buffer(std::size_t limit = SIZE_MAX);
    // Makes room after the retained bytes of a marked stream.
    IoStatus make_room();
    IoStatus seek_to(std::uint64_t offset);
    bool retaining() const { return mark_ && !seekable_; }

    std::unique_ptr<ByteSource> source_;
    Block buffer_;
    std::size_t capacity_ = 0;
    std::size_t read_size_ = kDefaultReadSize;
    std::size_t direct_threshold_ = kDefaultReadSize;
    // Unconsumed bytes are buffer_[pos_, filled_); on a marked stream the bytes
    // from retained_ on are kept.
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
    std::size_t retained_ = 0;
    // Offset in the source where the next read starts.
    std::uint64_t source_offset_ = 0;
    std::optional<std::uint64_t> mark_;
    bool seekable_ = false;
    bool source_ended_ = false;  // a stream's read gave 0 bytes: its end
    bool held_only_ = false;
    bool sparse_ = true;  // opened, sought or read straight into place: the next refill reads one page
    bool last_fill_sparse_ = false;  // the last refill read one page for that reason
    std::uint64_t size_ = 0;         // of a regular file, as last seen
    // A mapped file's buffer holds every byte of it, always: nothing is read
    // into it, nor taken back into it, and a seek only moves the position.
    std::shared_ptr<FileMapping> mapping_;
};

// Keeps a file to the bytes it holds for one look ahead (see set_held_only).
class HeldOnly {
public:
    HeldOnly(BufferedFile& file, bool on) : file_(file) { file_.set_held_only(on); }
    ~HeldOnly() { file_.set_held_only(false); }
    HeldOnly(const HeldOnly&) = delete;
    HeldOnly& operator=(const HeldOnly&) = delete;

private:
    BufferedFile& file_;
};

}  // namespace vesk
