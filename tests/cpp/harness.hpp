// What the C++ unit tests share: a minimal harness (TEST, CHECK), the seams
// through which the byte source's system calls pass, and makers of files.
//
// The test binary is linked with --wrap=read, --wrap=pread and --wrap=preadv,
// so every read the code under test makes passes through the wrappers in
// harness.cpp: they record the calls, and can inject errors or short reads. (A
// regular file is read with pread and preadv at the source's own offset, so
// seeking it makes no system call.)
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "buffered_file.hpp"
#include "formats.hpp"
#include "little_endian.hpp"
#include "sample_buffer.hpp"

// ---- system-call seams

inline std::vector<std::size_t> read_requests;     // byte count asked by each read
inline std::deque<int> injected_errnos;            // 0 means: let this read through
inline std::deque<int> injected_scatter_errnos;    // the same, for scatter-reads only
inline std::size_t max_bytes_per_read = SIZE_MAX;  // < SIZE_MAX simulates short reads

inline void reset_syscalls()
{
    read_requests.clear();
    injected_errnos.clear();
    injected_scatter_errnos.clear();
    max_bytes_per_read = SIZE_MAX;
}

// ---- a minimal harness

inline int failures = 0;

// Every TEST(name) adds itself to this list when the program starts, in the order the
// tests are written (file by file), so a new test needs nothing but its definition.
struct TestCase {
    const char* name;
    void (*run)();
};

inline std::vector<TestCase>& registered_tests()
{
    static std::vector<TestCase> tests;
    return tests;
}

struct Registrar {
    Registrar(const char* name, void (*run)()) { registered_tests().push_back({name, run}); }
};

#define TEST(name)                                 \
    void name();                                   \
    const Registrar name##_registrar{#name, name}; \
    void name()

#define CHECK(condition)                                                                       \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                        \
        }                                                                                      \
    } while (0)

// ---- files

inline std::string temp_dir()
{
    static std::string dir = [] {
        char pattern[] = "/tmp/vesk-cpp-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        return std::string(made);
    }();
    return dir;
}

inline std::string write_file(const std::string& name, const std::string& bytes)
{
    const std::string path = temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

inline std::string counting_bytes(std::size_t n)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(i * 7 + 1);
    }
    return bytes;
}

inline std::string le32(std::uint32_t v)
{
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

inline std::string le64(std::uint64_t v)
{
    return le32(static_cast<std::uint32_t>(v)) + le32(static_cast<std::uint32_t>(v >> 32));
}

inline vesk::BufferedFile open_ok(const std::string& path)
{
    auto opened = vesk::BufferedFile::open(path);
    if (!opened.ok()) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), opened.error().display().c_str());
        std::exit(2);
    }
    return std::move(opened.value());
}

// A little-endian word read through read_exact, as the decoders read fields.
struct WordResult {
    vesk::IoStatus status;
    std::uint32_t word = 0;
    bool ok() const { return status.ok(); }
    std::uint32_t value() const { return word; }
    const vesk::IoError& error() const { return status.error(); }
};

inline WordResult read_u32(vesk::BufferedFile& file)
{
    std::byte bytes[4];
    WordResult result{file.read_exact(bytes, 4)};
    if (result.status.ok()) {
        result.word = vesk::load_little_endian<std::uint32_t>(bytes);
    }
    return result;
}

// ---- events

inline std::string wd1_event(std::uint16_t value)
{
    return le32(26) + le32(1) + le32(2) + le32(3) + le32(4) + le32(5)
           + std::string{static_cast<char>(value), 0};
}

template <class Reader>
inline vesk::Outcome step(Reader& reader, vesk::SingleEventSink<Reader>& sink)
{
    return reader.next(sink);
}

inline std::string wd2_event(std::uint32_t counter, std::uint32_t samples, std::int32_t channels)
{
    std::string event = le32(counter) + le64(1000 + counter) + le32(samples) + le64(8)
                        + le32(static_cast<std::uint32_t>(channels));
    event += std::string(std::size_t{4} * samples * static_cast<std::uint32_t>(channels), '\x01');
    return event;
}

// The WD2 decoder over the file at `path`, its layout probed; or why there is none.
inline vesk::DecoderOrFailure open_wd2(const std::string& path)
{
    vesk::BufferedFile file = open_ok(path);
    return vesk::open_decoder(file, vesk::Format::WD2, vesk::WD2Opening{});
}
