#include "buffered_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

namespace vesk {

void BufferedFile::PageFree::operator()(std::byte* block) const
{
    if (owned) {
        std::free(block);
    }
}

BufferedFile::BufferedFile(std::unique_ptr<ByteSource> source, Block buffer, std::size_t capacity,
                           std::size_t read_size)
    : source_(std::move(source)), buffer_(std::move(buffer)), capacity_(capacity), read_size_(read_size),
      direct_threshold_(std::min(read_size, kMaxDirectThreshold)), seekable_(source_->seekable())
{
    if (seekable_) {
        size_ = source_->size().value_or(0);
    }
}

IoResult<BufferedFile> BufferedFile::over(std::unique_ptr<ByteSource> source, std::size_t read_size)
{
    // A page of slack lets every refill start at the offset that avoids 4K
    // aliasing.
    const std::size_t capacity = read_size + kPageSize;
    void* block = nullptr;
    if (::posix_memalign(&block, kPageSize, capacity) != 0) {
        return IoError::os(ENOMEM);
    }
    return BufferedFile(std::move(source), Block(static_cast<std::byte*>(block)), capacity, read_size);
}

IoResult<BufferedFile> BufferedFile::open(std::string_view path, std::size_t read_size, IoHooks* hooks)
{
    IoResult<std::unique_ptr<ByteSource>> source = open_file(path, hooks);
    if (!source.ok()) {
        return source.error();
    }
    return over(std::move(source.value()), read_size);
}

IoStatus BufferedFile::make_room()
{
    // Keep buffer_[retained_, filled_): move it to the front, and grow the
    // buffer when it is full of retained bytes.
    const std::size_t kept = filled_ - retained_;
    if (capacity_ - kept >= read_size_) {
        std::memmove(buffer_.get(), buffer_.get() + retained_, kept);
    } else {
        const std::size_t capacity = std::max(2 * capacity_, kept + read_size_);
        void* block = nullptr;
        if (::posix_memalign(&block, kPageSize, capacity) != 0) {
            return IoError::os(ENOMEM);
        }
        std::memcpy(block, buffer_.get() + retained_, kept);
        buffer_.reset(static_cast<std::byte*>(block));
        capacity_ = capacity;
    }
    pos_ -= retained_;
    filled_ = kept;
    retained_ = 0;
    return io_ok();
}

IoStatus BufferedFile::fill_buffer(std::size_t limit)
{
    if (mapping_) {
        return IoError::unexpected_eof();  // the buffer held the whole file
    }
    std::size_t start;
    if (retaining()) {
        if (IoStatus status = make_room(); !status.ok()) {
            return status;
        }
        start = filled_;
    } else {
        start = static_cast<std::size_t>(source_offset_ % kPageSize);
        pos_ = filled_ = retained_ = start;
    }
    // After a seek (a payload skipped, a probe gone back) or a read straight
    // into place, the next header is most likely all that is wanted here: a
    // page, not a whole refill of the payload after it.
    last_fill_sparse_ = std::exchange(sparse_, false);
    const std::size_t wanted =
        std::min(last_fill_sparse_ ? std::min(read_size_, kPageSize) : read_size_, limit);
    IoResult<std::size_t> got = source_->read(buffer_.get() + start, wanted);
    if (!got.ok()) {
        return got.error();
    }
    filled_ = start + got.value();
    source_offset_ += got.value();
    if (got.value() == 0) {
        source_ended_ = !seekable_;
        return IoError::unexpected_eof();
    }
    return io_ok();
}

IoStatus BufferedFile::read_exact_slow(std::byte* dst, std::size_t n)
{
    if (mapping_) {
        // As the end of any file: what there is is delivered and consumed.
        const std::size_t take = filled_ - pos_;
        std::memcpy(dst, buffer_.get() + pos_, take);
        pos_ = filled_;
        return n == take ? io_ok() : IoStatus(IoError::unexpected_eof());
    }
    std::size_t done = 0;
    bool aliased = false;
    while (done < n) {
        const std::size_t wanted = n - done;
        if (pos_ == filled_) {
            // Large reads go straight to their destination, no copy through the
            // buffer, unless a stream must keep them or the kernel would copy
            // them slowly; so does the rest of a read of a page or more that
            // the one page read after a seek did not hold (the samples of the
            // first large event after a run read straight into place), where
            // a whole refill would bring most of the next events through the
            // buffer too.
            const bool rest_of_large = done != 0 && last_fill_sparse_ && n >= kPageSize;
            const bool large = (wanted >= direct_threshold_ || rest_of_large) && !retaining();
            if (large && alias_free(dst + done, source_offset_)) {
                pos_ = filled_ = retained_ = 0;  // the buffer no longer holds what precedes the offset
                IoResult<std::size_t> got = source_->read(dst + done, wanted);
                if (!got.ok()) {
                    return got.error();
                }
                if (got.value() == 0) {
                    source_ended_ = !seekable_;
                    return IoError::unexpected_eof();
                }
                source_offset_ += got.value();
                done += got.value();
                // The next large event's samples come this way too: the refill
                // for its header reads a page, not most of its samples, which
                // would then be copied twice.
                sparse_ = true;
                continue;
            }
            if (large) {
                // The kernel would copy it slowly: it comes through the buffer,
                // but alone, so that the next header is read with a page again
                // and the large events after it straight into place; a whole
                // refill would hold them, to be copied twice.
                sparse_ = false;
                aliased = true;
            }
            if (IoStatus status = fill_buffer(large ? wanted : SIZE_MAX); !status.ok()) {
                return status;
            }
        }
        const std::size_t take = std::min(filled_ - pos_, wanted);
        std::memcpy(dst + done, buffer_.get() + pos_, take);
        pos_ += take;
        done += take;
    }
    sparse_ = sparse_ || aliased;
    return io_ok();
}

IoStatus BufferedFile::seek_to(std::uint64_t offset)
{
    if (mapping_) {
        pos_ = static_cast<std::size_t>(std::min<std::uint64_t>(offset, filled_));
        retained_ = 0;
        return io_ok();
    }
    if (IoStatus status = source_->seek(offset); !status.ok()) {
        return status;
    }
    source_offset_ = offset;
    pos_ = filled_ = retained_ = 0;
    sparse_ = true;
    return io_ok();
}

IoResult<std::size_t> BufferedFile::read_scattered(iovec* pieces, int count)
{
    std::size_t delivered = 0;
    int first = 0;
    while (first < count && pos_ < filled_) {
        iovec& piece = pieces[first];
        const std::size_t take = std::min(filled_ - pos_, piece.iov_len);
        std::memcpy(piece.iov_base, buffer_.get() + pos_, take);
        pos_ += take;
        delivered += take;
        if (take == piece.iov_len) {
            ++first;
        } else {
            piece.iov_base = static_cast<std::byte*>(piece.iov_base) + take;
            piece.iov_len -= take;
        }
    }
    if (first == count || mapping_) {
        return delivered;
    }
    IoResult<std::size_t> got = source_->read_scattered(pieces + first, count - first);
    if (!got.ok()) {
        return got;
    }
    pos_ = filled_ = retained_ = 0;
    source_offset_ += got.value();
    sparse_ = true;  // as after any read straight into place
    return delivered + got.value();
}

IoStatus BufferedFile::rewind()
{
    mark_.reset();
    return seek_to(0);
}

void BufferedFile::mark()
{
    mark_ = position();
    retained_ = pos_;
}

IoStatus BufferedFile::restore()
{
    if (!mark_) {
        return io_ok();
    }
    const std::uint64_t target = *mark_;
    // Still buffered (always, for a stream): no system call needed.
    const std::uint64_t window_start = source_offset_ - (filled_ - retained_);
    if (target >= window_start && target <= source_offset_) {
        pos_ = filled_ - static_cast<std::size_t>(source_offset_ - target);
        return io_ok();
    }
    if (!seekable_) {
        return IoError::os(ESPIPE);
    }
    return seek_to(target);
}

IoResult<std::size_t> BufferedFile::peek(std::uint64_t offset, void* dst, std::size_t n, std::uint64_t limit)
{
    auto* out = static_cast<std::byte*>(dst);
    std::size_t done = 0;
    while (done < n) {
        const std::uint64_t at = offset + done;
        const std::uint64_t window_start = source_offset_ - (filled_ - retained_);
        if (at >= window_start && at < source_offset_) {
            const std::size_t index = filled_ - static_cast<std::size_t>(source_offset_ - at);
            const std::size_t take = std::min(n - done, filled_ - index);
            std::memcpy(out + done, buffer_.get() + index, take);
            done += take;
            continue;
        }
        IoResult<std::size_t> got = std::size_t{0};
        if (seekable_) {
            got = source_->read_at(at, out + done, n - done);
        } else if (!retaining() || at < window_start) {
            return IoError::os(ESPIPE);  // those bytes are gone
        } else if (held_only_) {
            break;
        } else if (at + (n - done) - *mark_ > limit) {
            return IoError::stream_too_large(at + (n - done) - *mark_);
        } else if (IoStatus status = fill_buffer(); !status.ok()) {
            if (!status.error().is_eof()) {
                return status.error();
            }
        } else {
            continue;
        }
        if (!got.ok()) {
            return got.error();
        }
        if (got.value() == 0) {
            break;
        }
        done += got.value();
    }
    return done;
}

IoStatus BufferedFile::mark_at(std::uint64_t offset)
{
    if (IoStatus status = restore(); !status.ok()) {
        return status;
    }
    if (IoStatus status = skip(offset - position()); !status.ok()) {
        return status;
    }
    mark();
    return io_ok();
}

std::optional<std::uint64_t> BufferedFile::remaining() const
{
    if (!seekable_) {
        return std::nullopt;
    }
    return size_ > position() ? size_ - position() : 0;
}

bool BufferedFile::ends_within(std::uint64_t n)
{
    if (!seekable_) {
        return false;
    }
    if (size_ >= position() && size_ - position() >= n) {
        return false;
    }
    size_ = source_->size().value_or(size_);
    return size_ < position() || size_ - position() < n;
}

IoStatus BufferedFile::skip(std::uint64_t n)
{
    const std::size_t buffered = filled_ - pos_;
    if (n <= buffered) {
        pos_ += static_cast<std::size_t>(n);
        return io_ok();
    }
    if (seekable_) {
        if (ends_within(n)) {
            // As a read would: everything up to the end is consumed.
            const std::uint64_t end = std::max(size_, position());
            IoStatus status = seek_to(end);
            return status.ok() ? IoStatus(IoError::unexpected_eof()) : status;
        }
        return seek_to(position() + n);
    }
    // A stream has to be read through.
    while (n > 0) {
        if (pos_ == filled_) {
            if (IoStatus status = fill_buffer(); !status.ok()) {
                return status;
            }
        }
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(filled_ - pos_, n));
        pos_ += take;
        n -= take;
    }
    return io_ok();
}

}  // namespace vesk
