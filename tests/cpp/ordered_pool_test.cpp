// The ordered pool: results in item order whatever the threads and window,
// the window never overrun, a worker's exception at its item's place, one
// work object per thread, and prompt stops when the consumer goes. Every
// wait is bounded, so a broken pool fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/ordered_pool.hpp"

namespace corvex::engine {
namespace {

using namespace std::chrono_literals;

struct PoolCase {
    const char* name;
    std::size_t items;
    std::size_t threads;
    std::size_t items_ahead;
    std::size_t bytes_ahead;
    std::size_t bytes_per_item;
    bool slow_consumer;
};

class OrderedPoolCases : public testing::TestWithParam<PoolCase> {};

// Runs `body` on a detached thread and waits for it at most `limit`: a pool
// that deadlocks fails the test instead of hanging the run. `body` must own
// everything it uses; it is left running (and leaked) when it overruns.
template <class Body>
bool finishes_in_time(Body body, std::chrono::seconds limit = 10s) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([body = std::move(body), done]() mutable {
        body();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

// What one run of a case saw.
struct PoolRun {
    std::atomic<std::size_t> consumed{0};
    std::atomic<std::size_t> overruns{0};
    std::atomic<std::size_t> disorder{0};
    std::atomic<std::size_t> received{0};
    std::atomic<bool> extra_results{false};
    std::size_t threads = 0;
};

// Items finish out of order (later items are quicker), the consumer may be
// slow, and every item checks on starting that the window allows it.
TEST_P(OrderedPoolCases, HandsOutEveryResultInOrderWithinTheWindow) {
    const PoolCase c = GetParam();
    auto seen = std::make_shared<PoolRun>();
    // Finished results waiting stay under bytes_ahead (or are none); the
    // threads may each hold one more in progress; taken may run one ahead
    // of `consumed`.
    const std::size_t by_bytes =
        c.bytes_per_item ? (c.bytes_ahead + c.bytes_per_item - 1) / c.bytes_per_item : c.items_ahead;
    const std::size_t allowed = std::min(c.items_ahead, by_bytes + c.threads) + 1;
    const bool finished = finishes_in_time([c, seen, allowed] {
        OrderedPool<std::size_t> pool(
            c.items,
            [seen, allowed] {
                return [seen, allowed](std::size_t item) {
                    if (item >= seen->consumed.load() + allowed) seen->overruns.fetch_add(1);
                    std::this_thread::sleep_for(std::chrono::microseconds((item * 7919) % 300));
                    return item * item;
                };
            },
            PoolLimits{c.threads, c.items_ahead, c.bytes_ahead},
            [c](const std::size_t&) { return c.bytes_per_item; });
        seen->threads = pool.threads();
        for (std::size_t k = 0; k < c.items; ++k) {
            const auto result = pool.next();
            if (!result || *result != k * k) seen->disorder.fetch_add(1);
            seen->received.fetch_add(1);
            seen->consumed.fetch_add(1);
            if (c.slow_consumer && k % 8 == 0) std::this_thread::sleep_for(1ms);
        }
        seen->extra_results = pool.next().has_value() || pool.next().has_value();
    });
    ASSERT_TRUE(finished) << "stuck after " << seen->received.load() << " results";
    EXPECT_EQ(seen->threads, std::min(c.threads, c.items));
    EXPECT_EQ(seen->received.load(), c.items);
    EXPECT_EQ(seen->disorder.load(), 0U);
    EXPECT_FALSE(seen->extra_results.load());
    EXPECT_EQ(seen->overruns.load(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, OrderedPoolCases,
    testing::Values(PoolCase{"NoItems", 0, 4, 8, 1 << 20, 0, false},
                    PoolCase{"OneItemManyThreads", 1, 8, 8, 1 << 20, 0, false},
                    PoolCase{"OneThread", 200, 1, 4, 1 << 20, 0, true},
                    PoolCase{"WindowOfOne", 150, 3, 1, 1 << 20, 0, true},
                    PoolCase{"WindowSmallerThanThreads", 300, 6, 2, 1 << 20, 0, true},
                    PoolCase{"WideWindow", 500, 4, 64, 1 << 20, 0, false},
                    PoolCase{"BytesBindFirst", 300, 4, 64, 3000, 1000, true},
                    PoolCase{"ItemsLargerThanTheByteWindow", 200, 3, 16, 100, 1000, true},
                    PoolCase{"NoByteWindow", 100, 2, 8, 0, 10, true}),
    [](const auto& info) { return info.param.name; });

TEST(OrderedPool, ThrowsAWorkersExceptionAtItsItemAndGoesOn) {
    auto seen = std::make_shared<std::vector<std::string>>();
    ASSERT_TRUE(finishes_in_time([seen] {
        OrderedPool<int> pool(
            10,
            [] {
                return [](std::size_t item) -> int {
                    if (item == 3 || item == 7) throw std::runtime_error("item " + std::to_string(item));
                    return static_cast<int>(item);
                };
            },
            PoolLimits{3, 4});
        for (;;) {
            try {
                auto result = pool.next();
                if (!result) break;
                seen->push_back(std::to_string(*result));
            } catch (const std::runtime_error& error) {
                seen->push_back(error.what());
            }
        }
    }));
    EXPECT_EQ(*seen, (std::vector<std::string>{"0", "1", "2", "item 3", "4", "5", "6", "item 7", "8", "9"}));
}

TEST(OrderedPool, AFailedWorkSetUpFailsTheItemsOfThatThread) {
    auto failures = std::make_shared<std::atomic<int>>(0);
    auto extra = std::make_shared<std::atomic<bool>>(false);
    ASSERT_TRUE(finishes_in_time([failures, extra] {
        OrderedPool<int> pool(
            6,
            []() -> std::function<int(std::size_t)> { throw std::runtime_error("no decoder"); },
            PoolLimits{2, 4});
        for (std::size_t k = 0; k < 6; ++k) {
            try {
                (void)pool.next();
            } catch (const std::runtime_error& error) {
                if (std::string(error.what()) == "no decoder") failures->fetch_add(1);
            }
        }
        *extra = pool.next().has_value();
    }));
    EXPECT_EQ(failures->load(), 6);
    EXPECT_FALSE(extra->load());
}

TEST(OrderedPool, EachThreadMakesAndKeepsItsOwnWork) {
    struct Seen {
        std::atomic<int> made{0};
        std::mutex mutex;
        std::set<std::pair<int, std::thread::id>> owners;
    };
    auto seen = std::make_shared<Seen>();
    ASSERT_TRUE(finishes_in_time([seen] {
        OrderedPool<int> pool(
            400,
            [seen] {
                const int id = seen->made.fetch_add(1);
                // State a work object carries is its own thread's.
                return [seen, id, calls = 0](std::size_t) mutable {
                    ++calls;
                    std::lock_guard lock(seen->mutex);
                    seen->owners.insert({id, std::this_thread::get_id()});
                    return calls;
                };
            },
            PoolLimits{3, 12});
        while (pool.next()) {
        }
    }));
    EXPECT_EQ(seen->made.load(), 3);
    std::set<int> ids;
    std::set<std::thread::id> threads;
    for (const auto& [id, thread] : seen->owners) {
        ids.insert(id);
        threads.insert(thread);
    }
    // One thread per work object and the other way round.
    EXPECT_EQ(seen->owners.size(), ids.size());
    EXPECT_EQ(seen->owners.size(), threads.size());
    EXPECT_LE(seen->owners.size(), 3U);
}

// Destroys a pool whose consumer took `taken` results of many slow items
// and reports how many items were ever started; none when it did not stop.
std::optional<std::size_t> started_before_stop(std::size_t taken, std::size_t threads, std::size_t window) {
    auto started = std::make_shared<std::atomic<std::size_t>>(0);
    const bool stopped = finishes_in_time([=] {
        OrderedPool<int> pool(
            100'000,
            [=] {
                return [=](std::size_t) {
                    started->fetch_add(1);
                    std::this_thread::sleep_for(2ms);
                    return 1;
                };
            },
            PoolLimits{threads, window});
        for (std::size_t k = 0; k < taken; ++k) (void)pool.next();
        if (taken == 0) std::this_thread::sleep_for(20ms);  // let the window fill
    });
    if (!stopped) return std::nullopt;
    return started->load();
}

TEST(OrderedPool, StopsPromptlyWhenDroppedWithItemsLeft) {
    // Nothing new starts once the pool goes: at most the window past what
    // was taken, and the destructor has joined every thread by then.
    EXPECT_LE(started_before_stop(0, 4, 8).value_or(SIZE_MAX), 8U + 1);
    EXPECT_LE(started_before_stop(5, 2, 4).value_or(SIZE_MAX), 5U + 4 + 1);
    EXPECT_LE(started_before_stop(30, 3, 6).value_or(SIZE_MAX), 30U + 6 + 1);
}

TEST(OrderedPool, CancelEndsTheResults) {
    auto results = std::make_shared<std::vector<std::optional<int>>>();
    ASSERT_TRUE(finishes_in_time([results] {
        OrderedPool<int> pool(1000, [] { return [](std::size_t item) { return static_cast<int>(item); }; },
                              PoolLimits{2, 8});
        results->push_back(pool.next());
        pool.cancel();
        results->push_back(pool.next());
    }));
    EXPECT_EQ(*results, (std::vector<std::optional<int>>{0, std::nullopt}));
}

TEST(OrderedPool, WaitUntilTellsWhetherTheNextResultIsThere) {
    auto seen = std::make_shared<std::vector<bool>>();
    auto gate = std::make_shared<std::atomic<bool>>(false);
    ASSERT_TRUE(finishes_in_time([seen, gate] {
        OrderedPool<int> pool(
            2,
            [gate] {
                return [gate](std::size_t item) {
                    while (item == 0 && !gate->load()) std::this_thread::sleep_for(1ms);
                    return static_cast<int>(item);
                };
            },
            PoolLimits{2, 4});
        const auto soon = [] { return std::chrono::steady_clock::now() + 30ms; };
        seen->push_back(pool.wait_until(soon()));  // item 0 is held back
        gate->store(true);
        seen->push_back(pool.wait_until(std::chrono::steady_clock::now() + 5s));
        seen->push_back(pool.next() == 0 && pool.next() == 1);
        seen->push_back(pool.wait_until(soon()));  // the end: next() would not wait
        OrderedPool<int> cancelled(5, [] { return [](std::size_t) {
            std::this_thread::sleep_for(1s);
            return 0;
        }; }, PoolLimits{1, 1});
        cancelled.cancel();
        seen->push_back(cancelled.wait_until(std::chrono::steady_clock::now() + 5s));
    }));
    EXPECT_EQ(*seen, (std::vector<bool>{false, true, true, true, true}));
}

}  // namespace
}  // namespace corvex::engine
