// Where a BufferedFile's bytes come from: a file descriptor, or (in a module
// layer) any object that can fill a buffer. Knows nothing of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include <sys/uio.h>

#include "io_error.hpp"

namespace vesk {

// How blocking system calls meet whoever called the decoder. The module layers
// use it to let signal handlers run and other threads go on; the core only
// calls it.
class IoHooks {
public:
    virtual ~IoHooks() = default;
    // A system call was interrupted by a signal: true to give up with
    // IoError::interrupted(), false to retry it.
    virtual bool interrupted() = 0;
    // Around an open or read that may block indefinitely (anything but a
    // regular file).
    virtual void blocking_begin() {}
    virtual void blocking_end() {}
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to n bytes into dst: the count (0 at the end), or the error.
    virtual IoResult<std::size_t> read(void* dst, std::size_t n) = 0;
    // Up to the pieces' total into the pieces, in order: the count (0 at the
    // end), or the error. Only regular files are asked.
    virtual IoResult<std::size_t> read_scattered(const iovec* pieces, int count);
    // Up to n bytes from `offset` into dst without moving the read position:
    // the count (0 at the end), or the error. Only regular files are asked.
    virtual IoResult<std::size_t> read_at(std::uint64_t offset, void* dst, std::size_t n);
    // True for a regular file: seek(), read_at() and size() work.
    virtual bool seekable() const { return false; }
    virtual IoStatus seek(std::uint64_t offset);
    // The current size of a regular file, asked afresh: it may be growing.
    virtual std::optional<std::uint64_t> size() { return std::nullopt; }
};

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

// A file opened read-only and close-on-exec. `hooks` (may be null: EINTR is
// then retried and nothing is released) must outlive the source.
IoResult<std::unique_ptr<ByteSource>> open_file(std::string_view path, IoHooks* hooks);

}  // namespace vesk
