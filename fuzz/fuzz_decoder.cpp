// libFuzzer target: the fuzzer's bytes become a file, which is decoded to the
// end with the decoder of one format (VESK_FUZZ_WD2 selects WD2, else WD1).
// Crashes, sanitizer reports, hangs and oversized allocations are findings.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include <sys/mman.h>
#include <unistd.h>

#include "buffered_file.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace {

// Every answer but an event or a fault ends the stream; a fault consumes at
// least a header, so this bound is never reached by a correct decoder.
constexpr int kMaxSteps = 1 << 20;

template <class Reader>
void drain(Reader& reader, std::size_t file_size)
{
    std::uint64_t sample_bytes = 0;
    for (int step = 0; step < kMaxSteps; ++step) {
        auto answer = reader.next();
        if (auto* fault = std::get_if<vesk::InternalFault>(&answer)) {
            (void)fault;
            continue;
        }
        if (std::holds_alternative<vesk::EndOfStream>(answer)
            || std::holds_alternative<vesk::IoError>(answer)
            || std::holds_alternative<vesk::OutOfMemory>(answer)) {
            return;
        }
        // Touch every sample: the sanitizers check the whole block is ours.
        if constexpr (std::is_same_v<Reader, vesk::WD1Reader>) {
            auto& event = std::get<vesk::WD1Event>(answer);
            for (std::size_t i = 0; i < event.samples.size(); ++i) {
                sample_bytes += event.samples.data()[i] & 1u;
            }
            sample_bytes += event.samples.size_bytes();
        } else {
            auto& event = std::get<vesk::WD2Event>(answer);
            const auto* bytes = reinterpret_cast<const unsigned char*>(event.data.data());
            for (std::size_t i = 0; i < event.data.size_bytes(); ++i) {
                sample_bytes += bytes[i] & 1u;
            }
            sample_bytes += event.data.size_bytes();
        }
        // The samples returned can never exceed the file.
        if (sample_bytes > 2 * file_size + 2) {
            __builtin_trap();
        }
    }
    __builtin_trap();  // the decoder failed to make progress
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = ::memfd_create("vesk-fuzz", MFD_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n <= 0) {
            ::close(fd);
            return 0;
        }
        written += static_cast<std::size_t>(n);
    }
    auto opened = vesk::BufferedFile::open("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    if (!opened.ok()) {
        return 0;
    }
#ifdef VESK_FUZZ_WD2
    auto probed = vesk::WD2Reader::probe(std::move(opened.value()));
    if (auto* reader = std::get_if<vesk::WD2Reader>(&probed)) {
        drain(*reader, size);
    }
#else
    vesk::WD1Reader reader(std::move(opened.value()));
    drain(reader, size);
#endif
    return 0;
}
