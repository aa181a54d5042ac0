// libFuzzer target: the input's first two bytes choose batch limits and how
// batches are read ahead and put back, the rest becomes a file. The file is
// decoded twice, event by event and in batches from a batch stream (runs of
// same-size events included). Up to the first damage the batches
// report the two must agree exactly: the same events, fields and samples. The
// batches report damage no later than the event-by-event reader meets a damaged
// header (they may find an event before it cut short, or a length that nothing
// at its end bears out). Beyond it the batches resynchronise, and must still
// account for every byte of the file: events, skipped ranges and trailing
// bytes cover it.
// VESK_FUZZ_WD2 selects WD2, else WD1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "batch_stream.hpp"
#include "formats.hpp"
#include "header_fields.hpp"
#include "sample_buffer.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace {

#ifdef VESK_FUZZ_WD2
using Reader = vesk::WD2Reader;
#else
using Reader = vesk::WD1Reader;
#endif
using Header = Reader::Header;
using Sample = Reader::Sample;

struct Event {
    Header header;
    std::vector<unsigned char> bytes;  // the samples, compared bit for bit
    std::uint64_t index = 0;           // in the file, damaged events counted
};

bool same(const Header& a, const Header& b)
{
    bool equal = true;
    vesk::for_each_field<Header>(
        [&](std::size_t, const auto& field) { equal = equal && a.*field.member == b.*field.member; });
    return equal;
}

// Event `row`'s header as the batch's columns hold it.
Header stored_header(vesk::BatchSink<Reader>& sink, std::size_t row)
{
    Header header{};
    vesk::for_each_field<Header>([&](std::size_t i, const auto& field) {
        header.*field.member =
            reinterpret_cast<const vesk::FieldValue<decltype(field)>*>(sink.field(i).data())[row];
    });
    return header;
}

int memory_file(const std::uint8_t* data, std::size_t size)
{
    const int fd = ::memfd_create("vesk-fuzz", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    for (std::size_t written = 0; written < size;) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        written += static_cast<std::size_t>(n);
    }
    return fd;
}

#ifdef VESK_FUZZ_WD2
constexpr vesk::Format kFormat = vesk::Format::WD2;
#else
constexpr vesk::Format kFormat = vesk::Format::WD1;
#endif

std::optional<vesk::BufferedFile> open_file(int fd, std::size_t read_size)
{
    auto opened = vesk::BufferedFile::open("/proc/self/fd/" + std::to_string(fd), read_size);
    if (!opened.ok()) {
        return std::nullopt;
    }
    return std::move(opened.value());
}

std::variant<Reader, int> open_reader(int fd, std::size_t read_size)
{
    std::optional<vesk::BufferedFile> file = open_file(fd, read_size);
    if (!file) {
        return 0;
    }
    vesk::DecoderOrFailure decoder = vesk::open_decoder(
        *file, kFormat, {.probing = vesk::Probing::ChainOfEvents, .how = vesk::WD2Reader::Return::Restore});
    if (auto* made = std::get_if<vesk::Decoder>(&decoder)) {
        return std::move(std::get<Reader>(*made));
    }
    return 0;
}

// A batch stream over the file, its decoder made; null when none can be.
std::unique_ptr<vesk::BatchStream> open_stream(int fd, std::size_t read_size)
{
    std::optional<vesk::BufferedFile> file = open_file(fd, read_size);
    if (!file) {
        return nullptr;
    }
    auto stream =
        std::make_unique<vesk::BatchStream>(std::move(*file), vesk::StreamSettings{.format = kFormat});
    if (stream->open() || !stream->has_decoder()) {
        return nullptr;
    }
    return stream;
}

constexpr int kMaxSteps = 1 << 16;

// Event by event, up to the first damaged header or the end.
std::vector<Event> one_by_one(Reader& reader, bool& damaged)
{
    std::vector<Event> events;
    for (int step = 0; step < kMaxSteps; ++step) {
        vesk::SingleEventSink<Reader> sink(reader.file());
        const vesk::Outcome outcome = reader.next(sink);
        damaged = outcome == vesk::Outcome::Damaged;
        if (outcome != vesk::Outcome::Event) {
            return events;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(sink.event.samples.data());
        events.push_back(Event{.header = sink.event.header,
                               .bytes = {bytes, bytes + sink.event.samples.size_bytes()},
                               .index = events.size()});
    }
    __builtin_trap();  // no progress
}

// Byte ranges of the file, to be checked for tiling it.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// How the batches are asked for: read ahead never, always, or for small
// events; or read ahead with limits that change now and then (the batch read
// ahead is put back) and batches put back and read again.
enum class Asking : std::uint8_t { Never, Always, SmallEvents, Shuffled };

std::vector<Event> in_batches(vesk::BatchStream& stream, std::uint64_t max_events,
                              std::optional<std::uint64_t> max_bytes, Asking asking, Ranges& covered,
                              bool& skipped, std::uint64_t& first_damage)
{
    std::vector<Event> events;
    vesk::BatchLimits limits;
    limits.fill.skip_damaged = true;
    limits.max_bytes = max_bytes;
    const vesk::ReadAheadMode mode = asking == Asking::Never         ? vesk::ReadAheadMode::Never
                                     : asking == Asking::SmallEvents ? vesk::ReadAheadMode::SmallEvents
                                                                     : vesk::ReadAheadMode::Always;
    for (int batch = 0; batch < kMaxSteps; ++batch) {
        const bool shuffled = asking == Asking::Shuffled;
        limits.fill.max_events = max_events + (shuffled && batch % 2 == 1 ? 1 : 0);
        const std::uint64_t before = stream.position();
        vesk::NextBatch<true> next = stream.next<true>(limits, mode);
        if (shuffled && batch % 3 == 1 && stream.put_back_last()) {
            if (stream.position() != before) {
                __builtin_trap();
            }
            continue;  // read again by the next call
        }
        const vesk::FillEnd& end = next.end;
        covered.insert(covered.end(), end.skipped.ranges().begin(), end.skipped.ranges().end());
        skipped |= !end.skipped.ranges().empty();
        if (!end.damaged.empty()) {
            first_damage = std::min(first_damage, end.damaged.front().index);
        }
        // The batch's events lie between where it started and where it ended,
        // outside the skipped ranges; so does the pad byte of an odd-sized
        // event before it, which an empty batch may drop.
        covered.emplace_back(before, stream.position());
        auto& sink = std::get<vesk::BatchSink<Reader>>(next.columns);
        sink.trim();
        const auto* offsets = reinterpret_cast<const std::int64_t*>(sink.offsets_block().data());
        const auto* samples = reinterpret_cast<const unsigned char*>(sink.samples_block().data());
        for (std::size_t i = 0; i < sink.events(); ++i) {
            Event event{};
            event.header = stored_header(sink, i);
            event.bytes.assign(samples + offsets[i] * sizeof(Sample),
                               samples + offsets[i + 1] * sizeof(Sample));
            events.push_back(std::move(event));
        }
        if (stream.events_read() < end.stop_index) {
            __builtin_trap();  // damaged events after the batch's last are counted too
        }
        if (sink.events() == 0 && end.outcome != vesk::Outcome::Event) {
            covered.emplace_back(stream.position(), stream.position() + stream.trailing_bytes());
            return events;
        }
    }
    __builtin_trap();
}

// Whether the ranges, minus the skipped ones inside event stretches, tile
// [0, size): each stretch of events may hold skipped ranges, so the check is
// that the union of all ranges is exactly [0, size) with nothing past it.
bool tiles(Ranges ranges, std::uint64_t size)
{
    std::sort(ranges.begin(), ranges.end());
    std::uint64_t reached = 0;
    for (const auto& [start, stop] : ranges) {
        if (start > reached || stop > size) {
            return false;
        }
        reached = std::max(reached, stop);
    }
    return reached == size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const std::uint64_t max_events = 1 + data[0] % 64;
    const auto asking = static_cast<Asking>(data[0] >> 6);
    const std::optional<std::uint64_t> max_bytes =
        data[1] & 1 ? std::optional<std::uint64_t>(64 + 16 * (data[1] >> 1)) : std::nullopt;
    const int fd = memory_file(data + 2, size - 2);
    if (fd < 0) {
        return 0;
    }
    auto single = open_reader(fd, vesk::BufferedFile::kDefaultReadSize);
    // A small buffer in the batch path, so that runs start inside buffered data.
    std::unique_ptr<vesk::BatchStream> batched = open_stream(fd, 64 + data[0]);
    ::close(fd);
    if (std::holds_alternative<int>(single) != !batched) {
        __builtin_trap();  // one path could open the file and the other not
    }
    if (!batched) {
        return 0;
    }
    bool damaged = false;
    const std::vector<Event> expected = one_by_one(std::get<Reader>(single), damaged);
    Ranges covered;
    bool skipped = false;
    std::uint64_t first_damage = UINT64_MAX;
    const std::vector<Event> got =
        in_batches(*batched, max_events, max_bytes, asking, covered, skipped, first_damage);
    // Without damage the two agree exactly. With it they agree up to the first damage the
    // batches report, which is no later than the damaged header met event by event.
    const bool resynchronised = damaged || skipped;
    if (damaged && first_damage > expected.size()) {
        __builtin_trap();
    }
    const std::size_t agreeing =
        resynchronised ? static_cast<std::size_t>(std::min<std::uint64_t>(expected.size(), first_damage))
                       : expected.size();
    if (got.size() < agreeing || (!resynchronised && got.size() != expected.size())) {
        __builtin_trap();
    }
    if (!tiles(covered, size - 2)) {
        __builtin_trap();
    }
    for (std::size_t i = 0; i < agreeing; ++i) {
        if (!same(got[i].header, expected[i].header) || got[i].bytes != expected[i].bytes) {
            __builtin_trap();
        }
    }
    return 0;
}
