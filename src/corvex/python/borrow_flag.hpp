// A per-object access flag: any number of shared accesses or one exclusive
// access, updated atomically. It never waits: a conflicting request fails.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvex::python {

class BorrowFlag {
public:
    bool try_shared() noexcept {
        std::intptr_t state = state_.load(std::memory_order_relaxed);
        do {
            if (state < 0) return false;
        } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    static constexpr std::intptr_t exclusive = -1;
    std::atomic<std::intptr_t> state_{0};
};

}  // namespace corvex::python
