// The reductions for any machine of the target architecture.
#include "segment_run.hpp"
#include "run_reducer.hpp"

namespace vesk {

std::int64_t reduce_run_baseline(const SegmentReduction& job, std::size_t begin, std::size_t end)
{
    return reduce_segment_run(job, begin, end);
}

}  // namespace vesk
