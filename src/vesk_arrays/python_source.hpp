// A byte source over a Python binary file object (anything with `readinto`:
// sys.stdin.buffer, io.BytesIO, gzip.open(...)), read as a stream; or over a
// ranged file of known size (the package's remote files), whose method
// `readinto_at(offset, buffer)` reads at any offset, which makes the source
// seekable: payloads a read does not want are skipped, never fetched.
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>

#include "byte_source.hpp"
#include "interpreter_hooks.hpp"
#include "py_errors.hpp"

namespace vesk {

class PythonFileSource final : public ByteSource {
public:
    // `file` is borrowed (the reader keeps it alive); `hooks.saved` is the
    // thread state saved by whoever released the interpreter lock around the
    // read, taken back here to call into Python. A failed read leaves its
    // exception in `error`. The source holds no reference of its own, so it
    // may be destroyed without the interpreter lock.
    // `ranged_size`: the size of a ranged file, nothing for a stream.
    PythonFileSource(PyObject* file, ReleasedLockHooks& hooks, SavedError& error,
                     std::optional<std::uint64_t> ranged_size = std::nullopt)
        : file_(file), hooks_(hooks), error_(error), size_(ranged_size)
    {
    }

    IoResult<std::size_t> read(void* dst, std::size_t n) override
    {
        if (size_) {
            IoResult<std::size_t> got = read_at(offset_, dst, n);
            if (got.ok()) {
                offset_ += got.value();
            }
            return got;
        }
        hooks_.take_lock();
        IoResult<std::size_t> result = read_holding_lock(dst, n, nullptr);
        hooks_.release_lock();
        return result;
    }

    IoResult<std::size_t> read_at(std::uint64_t offset, void* dst, std::size_t n) override
    {
        if (!size_) {
            return IoError::os(ESPIPE);
        }
        hooks_.take_lock();
        IoResult<std::size_t> result = read_holding_lock(dst, n, &offset);
        hooks_.release_lock();
        return result;
    }

    // Piece by piece: a ranged file joins its small reads into large ranges.
    IoResult<std::size_t> read_scattered(const iovec* pieces, int count) override
    {
        std::size_t total = 0;
        for (int i = 0; i < count; ++i) {
            auto* base = static_cast<std::byte*>(pieces[i].iov_base);
            std::size_t done = 0;
            while (done < pieces[i].iov_len) {
                IoResult<std::size_t> got = read(base + done, pieces[i].iov_len - done);
                if (!got.ok()) {
                    return got;
                }
                if (got.value() == 0) {
                    return total + done;
                }
                done += got.value();
            }
            total += done;
        }
        return total;
    }

    bool seekable() const override { return size_.has_value(); }

    IoStatus seek(std::uint64_t offset) override
    {
        if (!size_) {
            return IoError::os(ESPIPE);
        }
        offset_ = offset;
        return io_ok();
    }

    std::optional<std::uint64_t> size() override { return size_; }

private:
    // Reads with `readinto`, or with `readinto_at` at `*offset`.
    IoResult<std::size_t> read_holding_lock(void* dst, std::size_t n, const std::uint64_t* offset)
    {
        PyRef view = PyRef::steal(
            PyMemoryView_FromMemory(static_cast<char*>(dst), static_cast<Py_ssize_t>(n), PyBUF_WRITE));
        PyRef got;
        if (view && offset != nullptr) {
            got = PyRef::steal(PyObject_CallMethod(file_, "readinto_at", "KO",
                                                   static_cast<unsigned long long>(*offset), view.get()));
        } else if (view) {
            got = PyRef::steal(PyObject_CallMethod(file_, "readinto", "O", view.get()));
        }
        if (got && got.get() == Py_None) {
            // A non-blocking file with nothing to give yet: the answer of a
            // non-blocking descriptor, after which reading goes on.
            got = PyRef();
            release(view);
            return IoError::os(EAGAIN);
        }
        Py_ssize_t count = -1;
        if (got) {
            count = PyNumber_AsSsize_t(got.get(), PyExc_OverflowError);
            if (count >= 0 && static_cast<std::size_t>(count) > n) {
                PyErr_SetString(PyExc_ValueError, "readinto returned more bytes than asked for");
                count = -1;
            }
        }
        if (count < 0) {
            error_.fetch();
        }
        release(view);
        if (count < 0) {
            return IoError::source_failed();
        }
        return static_cast<std::size_t>(count);
    }

    // The view must not outlive the read: the memory is not Python's.
    static void release(const PyRef& view)
    {
        if (view) {
            PyRef released = PyRef::steal(PyObject_CallMethod(view.get(), "release", nullptr));
            if (!released) {
                PyErr_Clear();
            }
        }
    }

    PyObject* file_;
    ReleasedLockHooks& hooks_;
    SavedError& error_;
    std::optional<std::uint64_t> size_;
    std::uint64_t offset_ = 0;  // of a ranged file: where the next read starts
};

}  // namespace vesk
