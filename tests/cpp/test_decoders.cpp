// The decoders under read errors and interruptions: what a failed read consumed
// is read again by the next step.
#include <cerrno>
#include <string>
#include <variant>

#include "harness.hpp"

namespace {

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

}  // namespace
