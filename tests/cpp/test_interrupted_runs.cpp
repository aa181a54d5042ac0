// Runs of same-size events cut short by an interruption.
#include <cerrno>
#include <string>

#include "batch_fill.hpp"

#include "harness.hpp"

namespace {

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

}  // namespace
