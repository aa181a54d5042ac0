// Work shared among the cores this process may run on: its affinity mask (a
// container or taskset may grant fewer than the machine has), not the
// hardware's count.
#pragma once

#include <cstddef>
#include <functional>

namespace vesk {

// The number of cores the calling thread may run on (at least 1).
unsigned usable_cores();

// Calls part(i) for each i < parts, part 0 on the calling thread and the rest
// on threads of their own, and returns once all are done. A thread that
// cannot be started leaves its part to the calling thread.
void run_parts(std::size_t parts, const std::function<void(std::size_t)>& part);

}  // namespace vesk
