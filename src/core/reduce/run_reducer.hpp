// The reduction of a run of segments, in versions for the instruction sets
// the machine may have; run_reducer picks the best this one runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "segment_reduce.hpp"

namespace vesk {

// Reduces segments [begin, end) of a job whose segments lie in its bytes:
// the first of them without a value, or -1.
using RunReducer = std::int64_t (*)(const SegmentReduction& job, std::size_t begin, std::size_t end);

std::int64_t reduce_run_baseline(const SegmentReduction& job, std::size_t begin, std::size_t end);
#if defined(VESK_REDUCE_AVX2)
std::int64_t reduce_run_avx2(const SegmentReduction& job, std::size_t begin, std::size_t end);
#endif

inline RunReducer run_reducer()
{
#if defined(VESK_REDUCE_AVX2)
    if (__builtin_cpu_supports("avx2")) {
        return reduce_run_avx2;
    }
#endif
    return reduce_run_baseline;
}

}  // namespace vesk
