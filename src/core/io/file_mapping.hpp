// A regular file mapped into memory, copy-on-write: the bytes a decoder reads
// in place and the arrays handed out point into, with nothing copied. Knows
// nothing of Python. The mapping lives as long as the last holder of it (the
// reader's file, or a batch's arrays), and is unmapped then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "buffered_file.hpp"
#include "byte_source.hpp"
#include "io_error.hpp"

namespace vesk {

class FileMapping {
public:
    // `path` mapped whole and private (writes to the memory never reach the
    // file), or nothing where mapping does not apply: not a regular file,
    // an empty one, or a machine whose byte order is not the files' (whose
    // samples must be swapped, so copied). The caller then reads it as before.
    static IoResult<std::shared_ptr<FileMapping>> open(std::string_view path, IoHooks* hooks);

    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    ~FileMapping();

    std::byte* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    FileMapping(std::byte* data, std::size_t size) : data_(data), size_(size) {}

    std::byte* data_;
    std::size_t size_;
};

// BufferedFile::over_mapping makes a file whose buffer is the whole mapping:
// every byte of the file is buffered from the start, so each read and look
// ahead is served in place and the decoding is that of any regular file, byte
// for byte. Its size is the mapping's: a file that grows meanwhile is read as
// it was mapped, and one cut short meanwhile faults where its pages are gone
// (SIGBUS), as any mapping of it would.
}  // namespace vesk
