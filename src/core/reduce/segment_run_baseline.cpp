// The reductions for any machine of the target architecture.
#include "run_reducer.hpp"
#include "segment_run.hpp"

namespace vesk {

std::int64_t reduce_run_baseline(const SegmentReduction& job, std::size_t begin, std::size_t end)
{
    return reduce_segment_run(job, begin, end);
}

}  // namespace vesk
