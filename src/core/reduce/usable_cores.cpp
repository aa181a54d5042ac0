#include "usable_cores.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

namespace vesk {

unsigned usable_cores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        return count > 0 ? static_cast<unsigned>(count) : 1U;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1U;
}

void run_pieces(std::size_t threads, std::size_t pieces, const std::function<void(std::size_t)>& piece)
{
    std::atomic<std::size_t> next{0};
    auto take_pieces = [&] {
        for (std::size_t i = next.fetch_add(1, std::memory_order_relaxed); i < pieces;
             i = next.fetch_add(1, std::memory_order_relaxed)) {
            piece(i);
        }
    };
    std::vector<std::thread> helpers;
    try {
        const std::size_t wanted = std::min(threads, pieces);
        helpers.reserve(wanted > 0 ? wanted - 1 : 0);
        while (helpers.size() + 1 < wanted) {
            helpers.emplace_back(take_pieces);
        }
    } catch (const std::exception&) {
        // No more threads to be had: those there take the rest.
    }
    take_pieces();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

}  // namespace vesk
