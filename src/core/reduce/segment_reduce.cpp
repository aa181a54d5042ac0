#include "segment_reduce.hpp"

#include <algorithm>
#include <array>

#include "run_reducer.hpp"
#include "usable_cores.hpp"

namespace vesk {

namespace {

// A job is shared among cores only when it holds at least two parts this
// large: below it, starting a thread costs a good share of what it saves.
constexpr std::uint64_t kPartBytes = std::uint64_t{4} << 20;
// A shared job is cut into pieces of about this size, which the threads take
// one after the other: a thread whose core is also busy with something else
// takes fewer, and the job ends when the last piece does, not the slowest
// thread's equal share.
constexpr std::uint64_t kPieceBytes = std::uint64_t{1} << 20;
// What a segment costs beyond its samples, in bytes of samples.
constexpr std::uint64_t kSegmentCost = 64;
constexpr std::size_t kMaxPieces = 256;

// The job in pieces of about the same number of bytes, each a run of whole
// segments, shared among the usable cores.
std::int64_t reduce_all(const SegmentReduction& job, std::size_t sample_size)
{
    const RunReducer reduce_run = run_reducer();
    auto cost = [&](std::size_t i) {
        const Window window = window_of(job.lengths[i], job.window_start, job.window_stop);
        return static_cast<std::uint64_t>(window.size) * sample_size + kSegmentCost;
    };
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < job.count; ++i) {
        total += cost(i);
    }
    const std::size_t threads = total >= 2 * kPartBytes ? usable_cores() : 1;
    if (threads <= 1) {
        return reduce_run(job, 0, job.count);
    }
    const std::size_t pieces = std::min<std::uint64_t>(
        {std::max<std::uint64_t>(total / kPieceBytes, threads), kMaxPieces, job.count});
    std::array<std::size_t, kMaxPieces + 1> cuts{};
    std::uint64_t done = 0;
    std::size_t piece = 1;
    for (std::size_t i = 0; i < job.count && piece < pieces; ++i) {
        done += cost(i);
        if (done * pieces >= total * piece) {
            cuts[piece++] = i + 1;
        }
    }
    for (; piece <= pieces; ++piece) {
        cuts[piece] = job.count;
    }
    std::array<std::int64_t, kMaxPieces> missing{};
    run_pieces(threads, pieces, [&](std::size_t p) { missing[p] = reduce_run(job, cuts[p], cuts[p + 1]); });
    for (std::size_t p = 0; p < pieces; ++p) {
        if (missing[p] >= 0) {
            return missing[p];
        }
    }
    return -1;
}

// The first segment that does not lie within the bytes, or -1.
std::int64_t first_outside(const SegmentReduction& job, std::size_t sample_size)
{
    const auto size = static_cast<std::uint64_t>(job.bytes.size());
    for (std::size_t i = 0; i < job.count; ++i) {
        const std::int64_t start = job.starts[i];
        const std::int64_t length = job.lengths[i];
        if (start < 0 || length < 0 || static_cast<std::uint64_t>(start) > size
            || static_cast<std::uint64_t>(length)
                   > (size - static_cast<std::uint64_t>(start)) / sample_size) {
            return static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

}  // namespace

Window window_of(std::int64_t length, std::int64_t start, std::int64_t stop)
{
    auto clip = [length](std::int64_t at) {
        if (at < 0) {
            return std::max<std::int64_t>(at + length, 0);
        }
        return std::min(at, length);
    };
    const std::int64_t first = clip(start);
    const std::int64_t last = clip(stop);
    return {.first = first, .size = last > first ? last - first : 0};
}

ReductionOutcome reduce_segments(const SegmentReduction& job)
{
    const bool floats = job.sample == SampleType::Float32;
    ReductionOutcome outcome;
    outcome.bad_segment = first_outside(job, floats ? sizeof(float) : sizeof(std::uint16_t));
    if (outcome.bad_segment < 0) {
        outcome.empty_segment = reduce_all(job, floats ? sizeof(float) : sizeof(std::uint16_t));
    }
    return outcome;
}

}  // namespace vesk
