#include "byte_source.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

// Runs a system call again while a signal interrupts it, unless the hooks say
// to stop. A call that may block indefinitely runs inside the hooks' blocking
// section. The call's non-negative result, or the error.
template <class Call>
IoResult<std::size_t> system_call(IoHooks* hooks, bool may_block, Call&& call)
{
    for (;;) {
        if (may_block && hooks != nullptr) {
            hooks->blocking_begin();
        }
        const auto result = call();
        const int error = errno;
        if (may_block && hooks != nullptr) {
            hooks->blocking_end();
        }
        if (result >= 0) {
            return static_cast<std::size_t>(result);
        }
        if (error != EINTR) {
            return IoError::os(error);
        }
        if (hooks != nullptr && hooks->interrupted()) {
            return IoError::interrupted();
        }
    }
}

class FdSource final : public ByteSource {
public:
    FdSource(FileDescriptor fd, bool regular, IoHooks* hooks)
        : fd_(std::move(fd)), regular_(regular), hooks_(hooks)
    {
    }

    // A regular file is read at this source's own offset, never at the
    // descriptor's: a process forked while reading shares the descriptor's
    // offset with its parent, and each would move it under the other.
    IoResult<std::size_t> read(void* dst, std::size_t n) override
    {
        if (!regular_) {
            // Anything but a regular file may wait for a writer for ever.
            return system_call(hooks_, true, [&] { return ::read(fd_.get(), dst, n); });
        }
        return advanced(read_at(offset_, dst, n));
    }

    IoResult<std::size_t> read_scattered(const iovec* pieces, int count) override
    {
        return advanced(system_call(
            hooks_, false, [&] { return ::preadv(fd_.get(), pieces, count, static_cast<off_t>(offset_)); }));
    }

    IoResult<std::size_t> read_at(std::uint64_t offset, void* dst, std::size_t n) override
    {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
            return IoError::os(EINVAL);
        }
        return system_call(hooks_, false,
                           [&] { return ::pread(fd_.get(), dst, n, static_cast<off_t>(offset)); });
    }

    bool seekable() const override { return regular_; }

    IoStatus seek(std::uint64_t offset) override
    {
        if (!regular_) {
            return IoError::os(ESPIPE);
        }
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
            return IoError::os(EINVAL);  // as lseek would: reads at offset_ then never overflow off_t
        }
        offset_ = offset;
        return io_ok();
    }

    std::optional<std::uint64_t> size() override
    {
        struct stat info{};
        if (!regular_ || ::fstat(fd_.get(), &info) != 0) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(info.st_size);
    }

private:
    IoResult<std::size_t> advanced(IoResult<std::size_t> got)
    {
        if (got.ok()) {
            offset_ += got.value();
        }
        return got;
    }

    FileDescriptor fd_;
    bool regular_;
    IoHooks* hooks_;
    std::uint64_t offset_ = 0;  // of a regular file: where the next read starts
};

}  // namespace

std::string IoError::display() const
{
    switch (kind_) {
    case Kind::UnexpectedEof: return "failed to fill whole buffer";
    case Kind::InvalidInput: return "file name contained an unexpected NUL byte";
    case Kind::Interrupted: return "interrupted by a signal";
    case Kind::SourceFailed: return "the source of the bytes failed";
    case Kind::StreamTooLarge:
        return "cannot tell the layout of this WD2 stream: its first event, as the multi-channel layout "
               "reads it, is "
               + std::to_string(bytes_) + " bytes long, more than the " + std::to_string(kMaxReadAhead >> 20)
               + " MiB kept to decide, and the stream does not read as single-channel either";
    case Kind::Os: break;
    }
    char text[256];
    // GNU strerror_r may return a static string instead of filling `text`.
    const char* description = strerror_r(errno_, text, sizeof text);
    return std::string(description) + " (os error " + std::to_string(errno_) + ")";
}

IoResult<std::size_t> ByteSource::read_scattered(const iovec*, int)
{
    return IoError::os(ENOTSUP);
}

IoResult<std::size_t> ByteSource::read_at(std::uint64_t, void*, std::size_t)
{
    return IoError::os(ESPIPE);
}

IoStatus ByteSource::seek(std::uint64_t)
{
    return IoError::os(ESPIPE);
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

IoResult<std::unique_ptr<ByteSource>> open_file(std::string_view path, IoHooks* hooks)
{
    if (path.find('\0') != std::string_view::npos) {
        return IoError::nul_in_path();
    }
    const std::string c_path(path);
    // Opening a FIFO waits for its writer: only what is certainly not a
    // regular file is opened with the hooks' blocking section around it.
    struct stat before{};
    const bool may_block =
        hooks != nullptr && ::stat(c_path.c_str(), &before) == 0 && !S_ISREG(before.st_mode);
    IoResult<std::size_t> opened =
        system_call(hooks, may_block, [&] { return ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC, 0666); });
    if (!opened.ok()) {
        return opened.error();
    }
    FileDescriptor fd(static_cast<int>(opened.value()));
    // Only regular files have a size worth trusting and can seek; pipes and
    // devices are read as streams.
    struct stat info{};
    const bool regular = ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode);
    std::unique_ptr<ByteSource> source(new (std::nothrow) FdSource(std::move(fd), regular, hooks));
    if (!source) {
        return IoError::os(ENOMEM);
    }
    return source;
}

}  // namespace vesk
