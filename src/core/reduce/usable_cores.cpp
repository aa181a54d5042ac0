#include "usable_cores.hpp"

#include <sched.h>

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

void run_parts(std::size_t parts, const std::function<void(std::size_t)>& part)
{
    if (parts == 0) {
        return;
    }
    std::vector<std::thread> threads;
    std::size_t next = 1;  // the parts before it have threads
    try {
        threads.reserve(parts - 1);
        for (; next < parts; ++next) {
            threads.emplace_back(part, next);
        }
    } catch (const std::exception&) {
        // No more threads to be had: the calling thread does the rest.
    }
    part(0);
    for (std::size_t i = next; i < parts; ++i) {
        part(i);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace vesk
