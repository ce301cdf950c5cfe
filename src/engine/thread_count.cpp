#include "engine/thread_count.hpp"

#include <sched.h>

#include <thread>

namespace corvex::engine {

std::size_t available_cpus() noexcept {
    // Affinity, not the machine's CPU count: a container or `taskset` may
    // give the process fewer CPUs than the machine has.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

std::size_t thread_count(std::size_t requested) noexcept {
    return requested > 0 ? requested : available_cpus();
}

}  // namespace corvex::engine
