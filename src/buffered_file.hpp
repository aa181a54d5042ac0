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
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vesk {

class IoError {
public:
    enum class Kind : std::uint8_t { UnexpectedEof, Os, InvalidInput };

    static constexpr IoError unexpected_eof() { return IoError(Kind::UnexpectedEof, 0); }
    static constexpr IoError os(int errnum) { return IoError(Kind::Os, errnum); }
    static constexpr IoError nul_in_path() { return IoError(Kind::InvalidInput, 0); }

    constexpr Kind kind() const { return kind_; }
    constexpr bool is_eof() const { return kind_ == Kind::UnexpectedEof; }
    // The operating-system error number; 0 unless kind() is Os.
    constexpr int os_errno() const { return errno_; }

    // "failed to fill whole buffer", "<strerror> (os error N)", or the NUL-path text.
    std::string display() const;

private:
    constexpr IoError(Kind kind, int errnum) : kind_(kind), errno_(errnum) {}
    Kind kind_;
    int errno_;
};

// A value or the IoError that prevented it.
template <class T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    IoResult(IoError error) : state_(std::in_place_index<1>, error) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return *std::get_if<0>(&state_); }
    const IoError& error() const { return *std::get_if<1>(&state_); }

private:
    std::variant<T, IoError> state_;
};

using IoStatus = IoResult<std::monostate>;
inline IoStatus io_ok() { return IoStatus(std::monostate{}); }

// Owns one open file descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const { return fd_; }

private:
    int fd_ = -1;
};

class BufferedFile {
public:
    static constexpr std::size_t kBufferSize = 8192;

    // Opens `path` (UTF-8, used unchanged) read-only and close-on-exec.
    static IoResult<BufferedFile> open(std::string_view path);

    BufferedFile(BufferedFile&&) noexcept = default;
    BufferedFile& operator=(BufferedFile&&) noexcept = default;

    // Fills dst with exactly n bytes. Bytes delivered before a failure stay
    // consumed; there is no push-back.
    IoStatus read_exact(void* dst, std::size_t n)
    {
        if (filled_ - pos_ >= n) {
            std::memcpy(dst, buffer_.get() + pos_, n);
            pos_ += n;
            return io_ok();
        }
        return read_exact_slow(static_cast<std::byte*>(dst), n);
    }

    IoResult<std::uint32_t> read_u32();
    IoResult<std::uint64_t> read_u64();

    // Back to offset 0 with the buffer discarded. On failure the buffer is
    // left as it was.
    IoStatus rewind();

    // Consumes n bytes. On a regular file the bytes beyond the buffer are
    // skipped with a seek, never read; a skip past the end of the file leaves
    // the stream at its end and answers UnexpectedEof, as a read would.
    IoStatus skip(std::uint64_t n);

    // True when the file is regular and certainly ends before n more bytes can
    // be read from the current position. Used to refuse allocating payloads
    // that a damaged length field claims but the file cannot hold. The size is
    // re-read from the file system before saying so, so a file that is still
    // being written is judged by its current length.
    bool ends_within(std::uint64_t n);

    // Consumes everything up to the end of a regular file, as a read that met
    // the end of the file would have.
    IoStatus skip_to_end();

    // Logical read position: bytes consumed since offset 0.
    std::uint64_t position() const { return fd_offset_ - (filled_ - pos_); }

    // Size of a regular file as last observed; false when the file has none.
    bool has_size() const { return regular_; }
    std::uint64_t size() const { return size_; }

private:
    BufferedFile(FileDescriptor fd, std::unique_ptr<std::byte[]> buffer, bool regular,
                 std::uint64_t size);

    IoStatus read_exact_slow(std::byte* dst, std::size_t n);
    // One read(2) of up to kBufferSize bytes into the empty buffer.
    IoStatus fill_buffer();
    IoStatus seek_to(std::uint64_t offset);
    void refresh_size();

    FileDescriptor fd_;
    std::unique_ptr<std::byte[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
    // Offset of the descriptor: where the next read(2) starts.
    std::uint64_t fd_offset_ = 0;
    bool regular_ = false;
    std::uint64_t size_ = 0;
};

}  // namespace vesk
