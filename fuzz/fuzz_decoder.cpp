// libFuzzer target: the fuzzer's bytes become a file, which is decoded to the
// end with the decoder of one format (VESK_FUZZ_WD2 selects WD2, else WD1).
// Crashes, sanitizer reports, hangs and oversized allocations are findings.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include <sys/mman.h>
#include <unistd.h>

#include "formats.hpp"
#include "sample_buffer.hpp"

namespace {

// Every answer but an event, a damaged event or an allocation failure ends the
// stream; those consume at least a header, so a correct decoder never reaches
// this bound.
constexpr int kMaxSteps = 1 << 20;

template <class Reader>
void drain(Reader& reader, std::size_t file_size)
{
    std::uint64_t sample_bytes = 0;
    for (int step = 0; step < kMaxSteps; ++step) {
        vesk::SingleEventSink<Reader> sink(reader.file());
        switch (reader.next(sink)) {
        case vesk::Outcome::Damaged:
        case vesk::Outcome::OutOfMemory: continue;
        case vesk::Outcome::Event: break;
        default: return;
        }
        // Touch every sample byte: the sanitizers check the whole block is ours.
        const auto& samples = sink.event.samples;
        const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
        for (std::size_t i = 0; i < samples.size_bytes(); ++i) {
            sample_bytes += bytes[i] & 1u;
        }
        sample_bytes += samples.size_bytes();
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
    constexpr vesk::Format kFormat = vesk::Format::WD2;
#else
    constexpr vesk::Format kFormat = vesk::Format::WD1;
#endif
    vesk::DecoderOrFailure decoder = vesk::open_decoder(opened.value(), kFormat, vesk::WD2Opening{});
    if (auto* made = std::get_if<vesk::Decoder>(&decoder)) {
        std::visit([&](auto& reader) { drain(reader, size); }, *made);
    }
    return 0;
}
