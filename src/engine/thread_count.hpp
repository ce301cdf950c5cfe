// How many threads the engine's parallel work uses by default.
#pragma once

#include <cstddef>

namespace corvex::engine {

// The CPUs this process may run on (its affinity mask), at least 1.
std::size_t available_cpus() noexcept;

// `requested` when it is above 0; otherwise one thread per available CPU.
std::size_t thread_count(std::size_t requested = 0) noexcept;

}  // namespace corvex::engine
