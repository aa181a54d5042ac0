#include "buffered_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "little_endian.hpp"

namespace vesk {

namespace {

// read(2) with EINTR retried: the count read (0 at the end of the file) or -errno.
ssize_t read_retrying(int fd, void* dst, std::size_t n)
{
    for (;;) {
        const ssize_t got = ::read(fd, dst, n);
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

}  // namespace

std::string IoError::display() const
{
    switch (kind_) {
    case Kind::UnexpectedEof:
        return "failed to fill whole buffer";
    case Kind::InvalidInput:
        return "file name contained an unexpected NUL byte";
    case Kind::Os:
        break;
    }
    char text[256];
    // GNU strerror_r may return a static string instead of filling `text`.
    const char* description = strerror_r(errno_, text, sizeof text);
    std::string out(description);
    out += " (os error ";
    out += std::to_string(errno_);
    out += ')';
    return out;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    // Nothing useful can be done about a failing close of a read-only file.
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

BufferedFile::BufferedFile(FileDescriptor fd, std::unique_ptr<std::byte[]> buffer, bool regular,
                           std::uint64_t size)
    : fd_(std::move(fd)), buffer_(std::move(buffer)), regular_(regular), size_(size)
{
}

IoResult<BufferedFile> BufferedFile::open(std::string_view path)
{
    if (path.find('\0') != std::string_view::npos) {
        return IoError::nul_in_path();
    }
    const std::string c_path(path);
    int raw_fd;
    do {
        raw_fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC, 0666);
    } while (raw_fd < 0 && errno == EINTR);
    if (raw_fd < 0) {
        return IoError::os(errno);
    }
    FileDescriptor fd(raw_fd);

    std::unique_ptr<std::byte[]> buffer(new (std::nothrow) std::byte[kBufferSize]);
    if (!buffer) {
        return IoError::os(ENOMEM);
    }
    // Only regular files have a size worth trusting; pipes and devices are
    // read as streams.
    struct stat info {};
    const bool regular = ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode);
    const std::uint64_t size = regular ? static_cast<std::uint64_t>(info.st_size) : 0;
    return BufferedFile(std::move(fd), std::move(buffer), regular, size);
}

IoStatus BufferedFile::fill_buffer()
{
    const ssize_t got = read_retrying(fd_.get(), buffer_.get(), kBufferSize);
    if (got < 0) {
        return IoError::os(static_cast<int>(-got));
    }
    pos_ = 0;
    filled_ = static_cast<std::size_t>(got);
    fd_offset_ += static_cast<std::uint64_t>(got);
    if (got == 0) {
        return IoError::unexpected_eof();
    }
    return io_ok();
}

IoStatus BufferedFile::read_exact_slow(std::byte* dst, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        const std::size_t wanted = n - done;
        if (pos_ == filled_) {
            if (wanted >= kBufferSize) {
                // Large payloads go straight to their destination: no copy
                // through the buffer.
                pos_ = filled_ = 0;
                const ssize_t got = read_retrying(fd_.get(), dst + done, wanted);
                if (got < 0) {
                    return IoError::os(static_cast<int>(-got));
                }
                if (got == 0) {
                    return IoError::unexpected_eof();
                }
                fd_offset_ += static_cast<std::uint64_t>(got);
                done += static_cast<std::size_t>(got);
                continue;
            }
            IoStatus status = fill_buffer();
            if (!status.ok()) {
                return status;
            }
        }
        const std::size_t take = std::min(filled_ - pos_, wanted);
        std::memcpy(dst + done, buffer_.get() + pos_, take);
        pos_ += take;
        done += take;
    }
    return io_ok();
}

IoResult<std::uint32_t> BufferedFile::read_u32()
{
    std::byte bytes[4];
    IoStatus status = read_exact(bytes, sizeof bytes);
    if (!status.ok()) {
        return status.error();
    }
    return load_little_endian<std::uint32_t>(bytes);
}

IoResult<std::uint64_t> BufferedFile::read_u64()
{
    std::byte bytes[8];
    IoStatus status = read_exact(bytes, sizeof bytes);
    if (!status.ok()) {
        return status.error();
    }
    return load_little_endian<std::uint64_t>(bytes);
}

IoStatus BufferedFile::seek_to(std::uint64_t offset)
{
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
        return IoError::os(EINVAL);
    }
    if (::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
        return IoError::os(errno);
    }
    fd_offset_ = offset;
    pos_ = filled_ = 0;
    return io_ok();
}

IoStatus BufferedFile::rewind()
{
    return seek_to(0);
}

void BufferedFile::refresh_size()
{
    struct stat info {};
    if (::fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode)) {
        size_ = static_cast<std::uint64_t>(info.st_size);
    }
}

bool BufferedFile::ends_within(std::uint64_t n)
{
    if (!regular_) {
        return false;
    }
    if (size_ >= position() && size_ - position() >= n) {
        return false;
    }
    refresh_size();
    return size_ < position() || size_ - position() < n;
}

IoStatus BufferedFile::skip_to_end()
{
    if (!regular_) {
        return io_ok();
    }
    refresh_size();
    if (position() >= size_) {
        return io_ok();
    }
    return seek_to(size_);
}

IoStatus BufferedFile::skip(std::uint64_t n)
{
    const std::size_t buffered = filled_ - pos_;
    if (n <= buffered) {
        pos_ += static_cast<std::size_t>(n);
        return io_ok();
    }
    if (regular_) {
        if (ends_within(n)) {
            IoStatus status = skip_to_end();
            return status.ok() ? IoStatus(IoError::unexpected_eof()) : status;
        }
        return seek_to(position() + n);
    }
    // A stream has to be read through.
    while (n > 0) {
        if (pos_ == filled_) {
            IoStatus status = fill_buffer();
            if (!status.ok()) {
                return status;
            }
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(filled_ - pos_, n));
        pos_ += take;
        n -= take;
    }
    return io_ok();
}

}  // namespace vesk
