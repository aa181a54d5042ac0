// The batch stream: batches for given limits, read ahead or not, a read-ahead
// put back when the next call asks for something else, the last batch put
// back, and interruptions; every event comes exactly once.
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "batch_stream.hpp"
#include "harness.hpp"

namespace {

using vesk::BatchLimits;
using vesk::BatchStream;
using vesk::Outcome;
using vesk::ReadAheadMode;

// `count` WD1 events of `samples` samples, counters 0, 1, ...
std::string wd1_events(std::uint32_t count, std::uint32_t samples)
{
    std::string data;
    for (std::uint32_t i = 0; i < count; ++i) {
        data += le32(24 + 2 * samples) + le32(1) + le32(2) + le32(3) + le32(i) + le32(5);
        data += std::string(2 * samples, static_cast<char>(i));
    }
    return data;
}

BatchLimits at_most(std::uint64_t events)
{
    BatchLimits limits;
    limits.fill.max_events = events;
    return limits;
}

// The event counters of a batch's columns.
std::vector<std::int32_t> counters(vesk::NextBatch<true>& batch)
{
    auto& sink = std::get<vesk::BatchSink<vesk::WD1Reader, true>>(batch.columns);
    const auto* column = reinterpret_cast<const std::int32_t*>(sink.field(4).data());
    return {column, column + sink.events()};
}

std::vector<std::int32_t> counters(vesk::NextBatch<true>&& batch)
{
    return counters(batch);
}

std::unique_ptr<BatchStream> stream_over(const std::string& name, const std::string& data,
                                         vesk::IoHooks* hooks = nullptr, bool* in_background = nullptr)
{
    auto opened = vesk::BufferedFile::open(write_file(name, data), 8192, hooks);
    CHECK(opened.ok());
    auto stream = std::make_unique<BatchStream>(std::move(opened.value()), vesk::StreamSettings{},
                                                std::make_shared<vesk::BlockPool>(), in_background);
    CHECK(!stream->open());
    return stream;
}

// Mixed limits and read-ahead modes: each call asks for something else now
// and then, so that batches read ahead are taken or put back.
TEST(batches_read_ahead_or_put_back_hold_each_event_once)
{
    const ReadAheadMode modes[] = {ReadAheadMode::Always, ReadAheadMode::Never, ReadAheadMode::SmallEvents};
    const auto owned = stream_over("stream-mixed", wd1_events(1000, 4));
    BatchStream& stream = *owned;
    std::vector<std::int32_t> seen;
    for (int call = 0;; ++call) {
        const BatchLimits limits = at_most(call % 5 == 4 ? 7 : 64);
        vesk::NextBatch<true> batch = stream.next<true>(limits, modes[call % 3]);
        CHECK(batch.end.outcome == Outcome::Event || batch.end.outcome == Outcome::End);
        const std::vector<std::int32_t> got = counters(batch);
        CHECK(batch.end.first_index == seen.size() && batch.end.stop_index == seen.size() + got.size());
        seen.insert(seen.end(), got.begin(), got.end());
        CHECK(stream.events_read() == seen.size());
        if (got.empty()) {
            break;
        }
        if (call % 7 == 6) {  // a skip puts a read-ahead back too
            const vesk::SkippedEvents skipped = stream.skip({.max_events = 3});
            for (std::uint64_t i = 0; i < skipped.events; ++i) {
                seen.push_back(static_cast<std::int32_t>(seen.size()));
            }
        }
    }
    CHECK(seen.size() == 1000);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        CHECK(seen[i] == static_cast<std::int32_t>(i));
    }
}

// A batch put back, with the batch read ahead after it, is read again.
TEST(the_last_batch_put_back_is_read_again)
{
    const auto owned = stream_over("stream-put-back", wd1_events(300, 4));
    BatchStream& stream = *owned;
    CHECK(counters(stream.next<true>(at_most(100), ReadAheadMode::Always)).front() == 0);
    vesk::NextBatch<true> second = stream.next<true>(at_most(100), ReadAheadMode::Always);
    CHECK(counters(second).front() == 100 && stream.events_read() == 200);
    CHECK(stream.put_back_last());
    CHECK(stream.events_read() == 100 && !stream.put_back_last());  // once only
    vesk::NextBatch<true> again = stream.next<true>(at_most(100), ReadAheadMode::Always);
    CHECK(counters(again) == counters(second));
    CHECK(counters(stream.next<true>(at_most(500), ReadAheadMode::Never)).front() == 200);
}

// An interrupted read ends the call with the error and nothing lost: the next
// calls read every event once. The worker never gives up on an interruption.
TEST(an_interrupted_batch_loses_no_event)
{
    struct StopInForeground : vesk::IoHooks {
        bool in_background = false;
        bool interrupted() override { return !in_background; }
    } hooks;
    for (const ReadAheadMode mode : {ReadAheadMode::Never, ReadAheadMode::Always}) {
        const auto owned = stream_over("stream-eintr", wd1_events(300, 3000), &hooks, &hooks.in_background);
        BatchStream& stream = *owned;
        std::vector<std::int32_t> seen = counters(stream.next<true>(at_most(10), mode));
        CHECK(stream.wait_for_read_ahead([] { return false; }));
        injected_scatter_errnos = {EINTR};
        int interrupted = 0;
        for (;;) {
            vesk::NextBatch<true> batch = stream.next<true>(at_most(100), ReadAheadMode::Never);
            interrupted += batch.end.outcome == Outcome::Error && batch.end.error->is_interrupted();
            const std::vector<std::int32_t> got = counters(batch);
            seen.insert(seen.end(), got.begin(), got.end());
            if (batch.end.outcome == Outcome::End) {
                break;
            }
        }
        CHECK(interrupted == 1);
        CHECK(seen.size() == 300);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            CHECK(seen[i] == static_cast<std::int32_t>(i));
        }
        reset_syscalls();
    }
}

}  // namespace
