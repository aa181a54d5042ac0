// Unit tests of the byte source and of the decoders' handling of read errors.
//
// The test binary is linked with --wrap=read, --wrap=pread and --wrap=preadv,
// so every read the code under test makes passes through the wrappers below:
// they record the calls, and can inject errors or short reads. (A regular file
// is read with pread and preadv at the source's own offset, so seeking it
// makes no system call.)
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include "batch_fill.hpp"
#include "buffered_file.hpp"
#include "formats.hpp"
#include "little_endian.hpp"
#include "sample_buffer.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

// ---- system-call seams -----------------------------------------------------

namespace {
std::vector<std::size_t> read_requests;     // byte count asked by each read
std::deque<int> injected_errnos;            // 0 means: let this read through
std::deque<int> injected_scatter_errnos;    // the same, for scatter-reads only
std::size_t max_bytes_per_read = SIZE_MAX;  // < SIZE_MAX simulates short reads

void reset_syscalls()
{
    read_requests.clear();
    injected_errnos.clear();
    injected_scatter_errnos.clear();
    max_bytes_per_read = SIZE_MAX;
}

// Records a read of n bytes; the errno to fail it with, or 0.
int next_read(std::size_t n)
{
    read_requests.push_back(n);
    if (injected_errnos.empty()) {
        return 0;
    }
    const int injected = injected_errnos.front();
    injected_errnos.pop_front();
    return injected;
}
}  // namespace

extern "C" ssize_t __real_read(int fd, void* buf, std::size_t n);
extern "C" ssize_t __real_pread(int fd, void* buf, std::size_t n, off_t offset);
extern "C" ssize_t __real_preadv(int fd, const iovec* pieces, int count, off_t offset);

extern "C" ssize_t __wrap_read(int fd, void* buf, std::size_t n)
{
    if (const int injected = next_read(n)) {
        errno = injected;
        return -1;
    }
    return __real_read(fd, buf, std::min(n, max_bytes_per_read));
}

extern "C" ssize_t __wrap_pread(int fd, void* buf, std::size_t n, off_t offset)
{
    if (const int injected = next_read(n)) {
        errno = injected;
        return -1;
    }
    return __real_pread(fd, buf, std::min(n, max_bytes_per_read), offset);
}

extern "C" ssize_t __wrap_preadv(int fd, const iovec* pieces, int count, off_t offset)
{
    std::size_t n = 0;
    for (int i = 0; i < count; ++i) {
        n += pieces[i].iov_len;
    }
    int injected = next_read(n);
    if (!injected_scatter_errnos.empty()) {
        injected = injected_scatter_errnos.front();
        injected_scatter_errnos.pop_front();
    }
    if (injected != 0) {
        errno = injected;
        return -1;
    }
    return __real_preadv(fd, pieces, count, offset);
}

// ---- a minimal harness -------------------------------------------------------

namespace {

int failures = 0;

// Every TEST(name) adds itself to this list when the program starts, in the order the
// tests are written, so a new test needs nothing but its definition.
struct TestCase {
    const char* name;
    void (*run)();
};

std::vector<TestCase>& registered_tests()
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

std::string temp_dir()
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

std::string write_file(const std::string& name, const std::string& bytes)
{
    const std::string path = temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string counting_bytes(std::size_t n)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(i * 7 + 1);
    }
    return bytes;
}

std::string le32(std::uint32_t v)
{
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

std::string le64(std::uint64_t v)
{
    return le32(static_cast<std::uint32_t>(v)) + le32(static_cast<std::uint32_t>(v >> 32));
}

vesk::BufferedFile open_ok(const std::string& path)
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

WordResult read_u32(vesk::BufferedFile& file)
{
    std::byte bytes[4];
    WordResult result{file.read_exact(bytes, 4)};
    if (result.status.ok()) {
        result.word = vesk::load_little_endian<std::uint32_t>(bytes);
    }
    return result;
}

// ---- BufferedFile ----------------------------------------------------------------

TEST(ten_byte_file_ends_inside_third_word)
{
    auto file = open_ok(write_file("ten", counting_bytes(10)));
    CHECK(read_u32(file).ok());
    CHECK(read_u32(file).ok());
    auto third = read_u32(file);
    CHECK(!third.ok() && third.error().is_eof());
    CHECK(third.error().display() == "failed to fill whole buffer");
    CHECK(file.position() == 10);  // the two remaining bytes are consumed
}

TEST(empty_file_and_zero_length_reads)
{
    auto file = open_ok(write_file("empty", ""));
    reset_syscalls();
    char none[1];
    CHECK(file.read_exact(none, 0).ok());
    CHECK(read_requests.empty());
    auto word = read_u32(file);
    CHECK(!word.ok() && word.error().is_eof());
    CHECK(file.read_exact(none, 0).ok());
}

TEST(large_read_on_empty_buffer_goes_straight_to_the_file)
{
    const std::string bytes = counting_bytes(30000);
    auto file = open_ok(write_file("large", bytes));
    reset_syscalls();
    // Page-aligned, as reads from offset 0 go straight to the destination only
    // where the kernel copies fastest.
    std::unique_ptr<char, decltype(&std::free)> dst(static_cast<char*>(std::aligned_alloc(4096, 20480)),
                                                    &std::free);
    CHECK(file.read_exact(dst.get(), 20000).ok());
    CHECK(std::string(dst.get(), 20000) == bytes.substr(0, 20000));
    CHECK(read_requests == std::vector<std::size_t>{20000});
    auto word = read_u32(file);  // refills the buffer: its first refill reads a page
    CHECK(word.ok());
    CHECK(read_requests == (std::vector<std::size_t>{20000, vesk::kPageSize}));
    std::uint32_t expected;
    std::memcpy(&expected, bytes.data() + 20000, 4);
    CHECK(word.value() == expected);
}

TEST(small_reads_are_served_by_the_buffer)
{
    auto file = open_ok(write_file("small", counting_bytes(16384)));
    reset_syscalls();
    for (int i = 0; i < 4096; ++i) {
        CHECK(read_u32(file).ok());
    }
    // A page first (a reader of headers alone may want no more), then whole refills.
    CHECK(read_requests
          == (std::vector<std::size_t>{vesk::kPageSize, vesk::BufferedFile::kDefaultReadSize,
                                       vesk::BufferedFile::kDefaultReadSize}));
}

TEST(values_are_little_endian)
{
    auto file = open_ok(write_file("le", le32(0x11223344) + le64(0x0102030405060708ull)));
    auto word = read_u32(file);
    std::byte wide[8];
    CHECK(file.read_exact(wide, 8).ok());
    CHECK(word.ok() && word.value() == 0x11223344u);
    CHECK(vesk::load_little_endian<std::uint64_t>(wide) == 0x0102030405060708ull);
}

// What a big-endian machine does to every sample: a float's bits move, its value is never converted.
TEST(samples_are_swapped_bit_for_bit)
{
    float floats[] = {1.0f, -2.5f};
    std::uint16_t words[] = {0x1234};
    vesk::swap_sample_bytes(floats, 2);
    vesk::swap_sample_bytes(words, 1);
    CHECK(std::bit_cast<std::uint32_t>(floats[0]) == 0x0000803Fu);
    CHECK(std::bit_cast<std::uint32_t>(floats[1]) == 0x000020C0u);
    CHECK(words[0] == 0x3412);
}

TEST(rewind_returns_to_the_first_bytes)
{
    const std::string bytes = counting_bytes(50000);
    auto file = open_ok(write_file("rewind", bytes));
    std::string sink(30001, '\0');
    CHECK(file.read_exact(sink.data(), sink.size()).ok());
    CHECK(file.rewind().ok());
    std::uint32_t first;
    std::memcpy(&first, bytes.data(), 4);
    auto word = read_u32(file);
    CHECK(word.ok() && word.value() == first);
    CHECK(file.position() == 4);
}

TEST(eintr_is_retried_and_other_errors_are_returned)
{
    auto file = open_ok(write_file("eintr", counting_bytes(100)));
    reset_syscalls();
    injected_errnos = {EINTR, EINTR, 0};
    CHECK(read_u32(file).ok());
    CHECK(read_requests.size() == 3);

    auto failing = open_ok(write_file("eio", counting_bytes(100)));
    injected_errnos = {EIO};
    auto word = read_u32(failing);
    CHECK(!word.ok() && word.error().kind() == vesk::IoError::Kind::Os);
    CHECK(word.error().os_errno() == EIO);
    CHECK(word.error().display() == "Input/output error (os error 5)");
    CHECK(read_u32(failing).ok());  // an error never closes the file
}

TEST(short_reads_are_assembled)
{
    const std::string bytes = counting_bytes(40000);
    auto file = open_ok(write_file("short", bytes));
    reset_syscalls();
    max_bytes_per_read = 3;
    std::string dst(20000, '\0');
    CHECK(file.read_exact(dst.data(), 5).ok());
    CHECK(file.read_exact(dst.data() + 5, dst.size() - 5).ok());
    CHECK(dst == bytes.substr(0, 20000));
    reset_syscalls();
}

// After a read straight into place (a run of large events), the next event's
// header and samples come through the buffer only as far as the page read for
// the header: the rest of the samples goes straight into place too, and no
// whole refill brings the events after it through the buffer.
TEST(after_reads_into_place_little_comes_through_the_buffer)
{
    const std::string bytes = counting_bytes(1 << 20);
    auto opened = vesk::BufferedFile::open(write_file("into-place", bytes), 256 << 10);
    CHECK(opened.ok());
    vesk::BufferedFile& file = opened.value();
    std::unique_ptr<char, decltype(&std::free)> block(static_cast<char*>(std::aligned_alloc(4096, 3 << 14)),
                                                      &std::free);
    CHECK(read_u32(file).ok());  // the page read at the start
    iovec run{block.get(), (1 << 14) - 4};
    CHECK(file.read_scattered(&run, 1).ok());
    reset_syscalls();
    char header[24];
    CHECK(file.read_exact(header, sizeof header).ok());
    char* samples = block.get() + (1 << 15) + ((1 << 14) + 24) % 4096 + 128;  // clear of 4K aliasing
    CHECK(file.read_exact(samples, 1 << 13).ok());
    CHECK(std::string(header, 24) + std::string(samples, 1 << 13) == bytes.substr(1 << 14, 24 + (1 << 13)));
    CHECK(read_requests.size() == 2 && read_requests[0] == vesk::kPageSize);
    CHECK(read_requests[0] + read_requests[1] == 24 + (1 << 13));
}

// A forked child shares the descriptor and its offset: whatever it reads, the
// parent reads on from where it stood.
TEST(regular_files_read_on_wherever_the_descriptor_points)
{
    const std::string bytes = counting_bytes(50000);
    const std::string path = write_file("shared", bytes);
    auto file = open_ok(path);
    CHECK(read_u32(file).ok());
    for (int fd = 3; fd < 1024; ++fd) {
        ::lseek(fd, 0, SEEK_END);  // as a child reading on to the end would leave it
    }
    std::string rest(20000, '\0');
    CHECK(file.read_exact(rest.data(), rest.size()).ok());
    CHECK(rest == bytes.substr(4, rest.size()));
}

TEST(open_errors)
{
    auto nul = vesk::BufferedFile::open(std::string("a\0b", 3));
    CHECK(!nul.ok() && nul.error().kind() == vesk::IoError::Kind::InvalidInput);
    CHECK(nul.error().display() == "file name contained an unexpected NUL byte");
    auto missing = vesk::BufferedFile::open(temp_dir() + "/does-not-exist");
    CHECK(!missing.ok() && missing.error().os_errno() == ENOENT);
    CHECK(missing.error().display() == "No such file or directory (os error 2)");
}

TEST(skips_on_regular_files_seek_instead_of_reading)
{
    auto file = open_ok(write_file("skip", counting_bytes(1 << 21)));
    CHECK(read_u32(file).ok());
    reset_syscalls();
    CHECK(file.skip(1 << 20).ok());
    CHECK(read_requests.empty());
    CHECK(file.position() == 4 + (1 << 20));
    auto past_end = file.skip(std::uint64_t{1} << 40);
    CHECK(!past_end.ok() && past_end.error().is_eof());
    CHECK(file.position() == (1 << 21));
    CHECK(read_requests.empty());
}

TEST(file_size_is_rechecked_before_refusing_a_length)
{
    const std::string path = write_file("growing", counting_bytes(100));
    auto file = open_ok(path);
    CHECK(file.ends_within(200));
    CHECK(!file.ends_within(100));
    std::ofstream(path, std::ios::binary | std::ios::app) << counting_bytes(200);
    CHECK(!file.ends_within(200));
}

// ---- decoders under read errors ------------------------------------------------

std::string wd1_event(std::uint16_t value)
{
    return le32(26) + le32(1) + le32(2) + le32(3) + le32(4) + le32(5)
           + std::string{static_cast<char>(value), 0};
}

template <class Reader>
vesk::Outcome step(Reader& reader, vesk::SingleEventSink<Reader>& sink)
{
    return reader.next(sink);
}

TEST(wd1_read_error_finishes_the_reader)
{
    vesk::WD1Reader reader(open_ok(write_file("wd1-eio", wd1_event(1) + wd1_event(2))));
    vesk::SingleEventSink<vesk::WD1Reader> sink(reader.file());
    injected_errnos = {EIO};
    CHECK(step(reader, sink) == vesk::Outcome::Error);
    CHECK(reader.error().os_errno() == EIO);
    CHECK(step(reader, sink) == vesk::Outcome::End);  // finished: the file is not touched again
    reset_syscalls();
}

std::string wd2_event(std::uint32_t counter, std::uint32_t samples, std::int32_t channels)
{
    std::string event = le32(counter) + le64(1000 + counter) + le32(samples) + le64(8)
                        + le32(static_cast<std::uint32_t>(channels));
    event += std::string(std::size_t{4} * samples * static_cast<std::uint32_t>(channels), '\x01');
    return event;
}

// The WD2 decoder over the file at `path`, its layout probed; or why there is none.
vesk::DecoderOrFailure open_wd2(const std::string& path)
{
    vesk::BufferedFile file = open_ok(path);
    return vesk::open_decoder(file, vesk::Format::WD2, vesk::WD2Opening{});
}

TEST(wd2_read_error_then_reads_on)
{
    auto probed = open_wd2(write_file("wd2-eio", wd2_event(7, 3, 2) + wd2_event(8, 3, 2)));
    CHECK(std::holds_alternative<vesk::Decoder>(probed));
    auto& reader = std::get<vesk::WD2Reader>(std::get<vesk::Decoder>(probed));
    CHECK(reader.has_channel_field() && reader.channel_count() == 2);
    vesk::SingleEventSink<vesk::WD2Reader> sink(reader.file());
    injected_errnos = {EIO};
    CHECK(step(reader, sink) == vesk::Outcome::Error);
    // The failed read consumed nothing, so the next call decodes the first event.
    CHECK(step(reader, sink) == vesk::Outcome::Event);
    CHECK(sink.event.header.event_counter == 7);
    CHECK(sink.event.samples.size() == 6);
    reset_syscalls();
}

TEST(wd2_read_error_inside_an_event_rereads_it_whole)
{
    // Events larger than the buffer, so that the samples are read by a call of
    // their own, which fails after the header was consumed.
    const std::string data = wd2_event(7, 3000, 2) + wd2_event(8, 3000, 2) + wd2_event(9, 3000, 2);
    auto probed = open_wd2(write_file("wd2-eio-inside", data));
    auto& reader = std::get<vesk::WD2Reader>(std::get<vesk::Decoder>(probed));
    vesk::SingleEventSink<vesk::WD2Reader> sink(reader.file());
    CHECK(step(reader, sink) == vesk::Outcome::Event && sink.event.header.event_counter == 7);
    injected_errnos = {0, EIO};  // the refill holding event 8's header passes, its samples fail
    CHECK(step(reader, sink) == vesk::Outcome::Error);
    CHECK(reader.error().os_errno() == EIO);
    for (std::uint32_t counter : {8u, 9u}) {
        CHECK(step(reader, sink) == vesk::Outcome::Event);
        CHECK(sink.event.header.event_counter == counter);
        CHECK(sink.event.samples.size() == 6000);
    }
    CHECK(step(reader, sink) == vesk::Outcome::End);
    reset_syscalls();
}

TEST(eintr_that_the_hooks_stop_restores_the_event)
{
    struct StopOnce : vesk::IoHooks {
        int asked = 0;
        bool interrupted() override { return ++asked == 1; }
    } hooks;
    const std::string data = wd1_event(1) + wd1_event(2);
    auto opened = vesk::BufferedFile::open(write_file("wd1-eintr", data), 8192, &hooks);
    CHECK(opened.ok());
    vesk::WD1Reader reader(std::move(opened.value()));
    vesk::SingleEventSink<vesk::WD1Reader> sink(reader.file());
    injected_errnos = {EINTR};
    CHECK(step(reader, sink) == vesk::Outcome::Error && reader.error().is_interrupted());
    for (std::uint16_t value : {1, 2}) {
        CHECK(step(reader, sink) == vesk::Outcome::Event);
        CHECK(sink.event.samples.size() == 1 && sink.event.samples.data()[0] == value);
    }
    reset_syscalls();
}

// A run read straight from the file and stopped by a signal handler ends the
// step at an event boundary, though its read took the buffer's bytes first:
// the next step reads on from the run's first event.
TEST(an_interrupted_run_goes_back_to_its_first_event)
{
    struct StopAlways : vesk::IoHooks {
        bool interrupted() override { return true; }
    } hooks;
    for (std::uint32_t samples : {100u, 3000u}) {  // read in place; scatter-read
        std::string data;
        for (std::uint32_t i = 0; i < 300; ++i) {
            data += le32(24 + 2 * samples) + le32(1) + le32(2) + le32(3) + le32(i) + le32(5);
            data += std::string(2 * samples, static_cast<char>(i));
        }
        auto opened = vesk::BufferedFile::open(write_file("run-eintr", data), 1 << 20, &hooks);
        CHECK(opened.ok());
        vesk::WD1Reader reader(std::move(opened.value()));
        vesk::FileProgress<vesk::WD1Reader> progress;
        injected_scatter_errnos = {EINTR};
        std::string samples_read;
        for (int call = 0; call < 3; ++call) {
            vesk::BatchSink<vesk::WD1Reader> sink(reader.file(), UINT64_MAX, std::nullopt, progress.watch);
            const vesk::FillEnd end = vesk::fill(reader, sink, progress, vesk::FillLimits{});
            samples_read.append(reinterpret_cast<const char*>(sink.samples_block().data()),
                                2 * sink.samples());
            CHECK(end.damaged_count == 0);
        }
        CHECK(samples_read == [&] {
            std::string expected;
            for (std::uint32_t i = 0; i < 300; ++i) {
                expected += std::string(2 * samples, static_cast<char>(i));
            }
            return expected;
        }());
        reset_syscalls();
    }
}

TEST(wd2_probe_error_is_returned)
{
    injected_errnos = {EIO};
    auto probed = open_wd2(write_file("wd2-probe-eio", wd2_event(1, 1, 2)));
    CHECK(std::holds_alternative<vesk::IoError>(probed));
    CHECK(std::get<vesk::IoError>(probed).os_errno() == EIO);
    reset_syscalls();
}

}  // namespace

int main()
{
    for (const TestCase& test : registered_tests()) {
        const int before = failures;
        reset_syscalls();
        test.run();
        std::printf("%-60s %s\n", test.name, failures == before ? "ok" : "FAILED");
    }
    std::error_code error;
    std::filesystem::remove_all(temp_dir(), error);
    if (error) {
        std::fprintf(stderr, "could not remove %s: %s\n", temp_dir().c_str(), error.message().c_str());
    }
    return failures == 0 ? 0 : 1;
}
