// Work shared among the cores this process may run on: its affinity mask (a
// container or taskset may grant fewer than the machine has), not the
// hardware's count.
#pragma once

#include <cstddef>
#include <functional>

namespace vesk {

// The number of cores the calling thread may run on (at least 1).
unsigned usable_cores();

// Calls piece(i) once for each i < pieces, on the calling thread and on up to
// `threads - 1` threads of its own, and returns once all are done. Each takes
// the next piece not yet taken, so that a thread slowed by other work on its
// core (the next batch being read ahead, say) takes fewer. Threads that
// cannot be started leave their share to the others.
void run_pieces(std::size_t threads, std::size_t pieces, const std::function<void(std::size_t)>& piece);

}  // namespace vesk
