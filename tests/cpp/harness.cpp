// The system-call seams (see harness.hpp) and the test runner.
#include "harness.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

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
