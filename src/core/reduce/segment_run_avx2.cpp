// The reductions for x86-64 machines with AVX2 (this file is compiled with
// -mavx2, and called only where the processor has it), in 32-byte vectors.
#define VESK_VECTOR_BYTES 32
#include "run_reducer.hpp"
#include "segment_run.hpp"

namespace vesk {

std::int64_t reduce_run_avx2(const SegmentReduction& job, std::size_t begin, std::size_t end)
{
    return reduce_segment_run(job, begin, end);
}

}  // namespace vesk
