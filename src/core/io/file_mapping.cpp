#include "file_mapping.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk {

namespace {

// The mapping as a byte source, for the few calls the buffer does not serve
// (a look ahead past the end).
class MappedSource final : public ByteSource {
public:
    explicit MappedSource(std::shared_ptr<FileMapping> mapping) : mapping_(std::move(mapping)) {}

    IoResult<std::size_t> read(void* dst, std::size_t n) override
    {
        const std::size_t got = copy_at(offset_, dst, n);
        offset_ += got;
        return got;
    }
    IoResult<std::size_t> read_scattered(const iovec* pieces, int count) override
    {
        std::size_t total = 0;
        for (int i = 0; i < count; ++i) {
            const std::size_t got = copy_at(offset_ + total, pieces[i].iov_base, pieces[i].iov_len);
            total += got;
            if (got < pieces[i].iov_len) {
                break;
            }
        }
        offset_ += total;
        return total;
    }
    IoResult<std::size_t> read_at(std::uint64_t offset, void* dst, std::size_t n) override
    {
        return copy_at(offset, dst, n);
    }
    bool seekable() const override { return true; }
    IoStatus seek(std::uint64_t offset) override
    {
        offset_ = offset;
        return io_ok();
    }
    std::optional<std::uint64_t> size() override { return mapping_->size(); }

private:
    std::size_t copy_at(std::uint64_t offset, void* dst, std::size_t n) const
    {
        if (offset >= mapping_->size()) {
            return 0;
        }
        const std::size_t take = std::min<std::uint64_t>(n, mapping_->size() - offset);
        std::memcpy(dst, mapping_->data() + offset, take);
        return take;
    }

    std::shared_ptr<FileMapping> mapping_;
    std::uint64_t offset_ = 0;
};

}  // namespace

IoResult<std::shared_ptr<FileMapping>> FileMapping::open(std::string_view path, IoHooks* hooks)
{
    if constexpr (std::endian::native != std::endian::little) {
        return std::shared_ptr<FileMapping>();
    }
    if (path.find('\0') != std::string_view::npos) {
        return IoError::nul_in_path();
    }
    const std::string c_path(path);
    struct stat info{};
    if (::stat(c_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::shared_ptr<FileMapping>();  // opened as before, which reports what is wrong
    }
    int fd = -1;
    do {
        fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && (hooks == nullptr || !hooks->interrupted()));
    if (fd < 0) {
        return errno == EINTR ? IoResult<std::shared_ptr<FileMapping>>(IoError::interrupted())
                              : IoResult<std::shared_ptr<FileMapping>>(IoError::os(errno));
    }
    const FileDescriptor owned(fd);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0
        || static_cast<std::uint64_t>(info.st_size) > SIZE_MAX) {
        return std::shared_ptr<FileMapping>();
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    // Private and writable: an array of the batch may be written to, and only
    // that page is copied; the file never changes.
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) {
        return std::shared_ptr<FileMapping>();  // read as before
    }
    // Read front to back: the kernel reads far ahead, as it does for read().
    ::madvise(data, size, MADV_SEQUENTIAL);
    std::shared_ptr<FileMapping> mapping(new (std::nothrow) FileMapping(static_cast<std::byte*>(data), size));
    if (!mapping) {
        ::munmap(data, size);
        return IoError::os(ENOMEM);
    }
    return mapping;
}

BufferedFile BufferedFile::over_mapping(std::shared_ptr<FileMapping> mapping)
{
    const std::size_t size = mapping->size();
    BufferedFile file(std::make_unique<MappedSource>(mapping), Block(mapping->data(), PageFree(false)), size,
                      size);
    file.filled_ = size;
    file.source_offset_ = size;
    file.mapping_ = std::move(mapping);
    return file;
}

FileMapping::~FileMapping()
{
    ::munmap(data_, size_);
}

}  // namespace vesk
