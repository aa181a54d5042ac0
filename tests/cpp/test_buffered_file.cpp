// The buffered file: reads, seeks, short reads, errors, looking ahead.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "harness.hpp"

namespace {

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

}  // namespace
