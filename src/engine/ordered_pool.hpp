// Items 0 .. n-1 worked on by a pool of threads, their results handed to one
// consumer in item order: decoding ahead of a Python iterator, decoding and
// rendering ahead of a file writer.
//
//   OrderedPool<R> pool(n, [&] { return Work(...); }, limits, bytes_of);
//   while (std::optional<R> result = pool.next()) consume(*result);
//
// Each worker thread makes its own work object with `make_work()` before its
// first item and calls it as `work(item) -> R` for every item it takes, so
// state a work object holds (a scan decoder, a render buffer) belongs to one
// thread and needs no lock. Workers take items in increasing order and never
// more than the window allows ahead of the consumer: `items_ahead` items
// started or finished, and no new item once `bytes_ahead` bytes of finished
// results (as `bytes_of` measures them) wait; the item the consumer needs
// next may always start. Memory therefore stays bounded by the window plus
// one item per thread, whatever n is.
//
// Failures are results: R is typically a Result<T, E>. An exception thrown
// by make_work or work is caught on the worker and thrown again from next()
// at that item's place in the order.
//
// A consumer that must also attend to something else (a signal, a progress
// display) waits with wait_until() and takes the result with next() once it
// is there.
//
// Destroying the pool (or cancel()) lets no new item start; the destructor
// waits for the items in progress and joins the threads. The threads touch
// only what the work objects and the pool own, never the consumer's state.
// After fork() a child must not destroy a pool inherited from its parent
// (its threads do not exist there): leak it instead.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/thread_count.hpp"

namespace corvex::engine {

struct PoolLimits {
    std::size_t threads = 0;      // worker threads; 0: one per available CPU; never more than the items
    std::size_t items_ahead = 0;  // items started or finished past the next one taken; 0: 4 per thread
    std::size_t bytes_ahead = std::size_t{64} << 20;  // of finished results waiting to be taken
};

// What a result weighs in the window when the pool is given no measure.
struct Weightless {
    template <class R>
    constexpr std::size_t operator()(const R&) const noexcept {
        return 0;
    }
};

template <class R>
class OrderedPool {
public:
    template <class MakeWork, class BytesOf = Weightless>
    OrderedPool(std::size_t items, MakeWork make_work, PoolLimits limits = {}, BytesOf bytes_of = {})
        : state_(std::make_unique<State>(items, limits)) {
        const std::size_t threads = std::min(thread_count(limits.threads), items);
        workers_.reserve(threads);
        try {
            for (std::size_t t = 0; t < threads; ++t) {
                workers_.emplace_back([state = state_.get(), make_work, bytes_of]() mutable {
                    state->work_loop(make_work, bytes_of);
                });
            }
        } catch (...) {
            stop();
            throw;
        }
    }

    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;
    ~OrderedPool() { stop(); }

    // The next item's result, waiting for it; nothing after the last item or
    // once cancelled. Rethrows what the item's work threw.
    std::optional<R> next() { return state_->take(); }

    // Waits until next() would not wait (the next result is there, or the
    // end or a cancellation is reached) or until `deadline`, whichever is
    // first; true in the first case.
    template <class Clock, class Duration>
    bool wait_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        return state_->wait_until(deadline);
    }

    // Lets no further item start; next() then reports the end. Items in
    // progress run to completion (the destructor waits for them).
    void cancel() noexcept { state_->cancel(); }

    std::size_t size() const noexcept { return state_->items; }
    std::size_t threads() const noexcept { return workers_.size(); }

private:
    struct Slot {
        std::optional<R> value;
        std::exception_ptr error;
        std::size_t bytes = 0;
        bool ready = false;
    };

    struct State {
        State(std::size_t item_count, const PoolLimits& limits)
            : items(item_count),
              window(std::max<std::size_t>(
                  1, limits.items_ahead ? limits.items_ahead : 4 * thread_count(limits.threads))),
              bytes_ahead(limits.bytes_ahead),
              wake_batch(std::max<std::size_t>(1, window / 4)),
              slots(window) {}

        const std::size_t items;
        const std::size_t window;
        const std::size_t bytes_ahead;
        const std::size_t wake_batch;

        std::mutex mutex;
        std::condition_variable room;      // workers wait here for an item they may start
        std::condition_variable finished;  // the consumer waits here for its next item
        std::vector<Slot> slots;           // item k in slot k % window
        std::size_t next_item = 0;         // the next item a worker takes
        std::size_t taken = 0;             // items handed to the consumer
        std::size_t bytes_ready = 0;       // of finished results not yet taken
        std::size_t idle_workers = 0;
        bool consumer_waiting = false;
        bool cancelled = false;

        bool may_start() const noexcept {
            return next_item < items && next_item < taken + window &&
                   (bytes_ready < bytes_ahead || next_item == taken);
        }

        // Waking a worker costs a system call on both sides: the consumer
        // does it once a quarter of the window is free again, or at once
        // when nothing is in progress that it could wait for.
        bool worth_waking() const noexcept {
            if (idle_workers == 0 || !may_start()) return false;
            if (next_item == taken) return true;
            return taken + window - next_item >= wake_batch && bytes_ready <= bytes_ahead - bytes_ahead / 4;
        }

        template <class MakeWork, class BytesOf>
        void work_loop(MakeWork& make_work, BytesOf& bytes_of) noexcept {
            using Work = std::invoke_result_t<MakeWork&>;
            std::optional<Work> work;
            std::exception_ptr setup_error;
            try {
                work.emplace(make_work());
            } catch (...) {
                setup_error = std::current_exception();
            }
            std::unique_lock lock(mutex);
            for (;;) {
                if (!cancelled && !may_start()) {
                    ++idle_workers;
                    room.wait(lock, [&] { return cancelled || may_start() || next_item >= items; });
                    --idle_workers;
                }
                if (cancelled || next_item >= items) return;
                const std::size_t item = next_item++;
                lock.unlock();

                std::optional<R> value;
                std::exception_ptr error = setup_error;
                std::size_t bytes = 0;
                if (!error) {
                    try {
                        value.emplace((*work)(item));
                        bytes = bytes_of(*value);
                    } catch (...) {
                        value.reset();
                        error = std::current_exception();
                    }
                }

                lock.lock();
                Slot& slot = slots[item % window];
                slot.value = std::move(value);
                slot.error = std::move(error);
                slot.bytes = bytes;
                slot.ready = true;
                bytes_ready += bytes;
                if (consumer_waiting && item == taken) finished.notify_one();
            }
        }

        std::optional<R> take() {
            std::unique_lock lock(mutex);
            if (cancelled || taken == items) return std::nullopt;
            Slot& slot = slots[taken % window];
            if (!slot.ready) {
                consumer_waiting = true;
                finished.wait(lock, [&] { return slot.ready || cancelled; });
                consumer_waiting = false;
                if (!slot.ready) return std::nullopt;
            }
            std::optional<R> value = std::move(slot.value);
            std::exception_ptr error = std::move(slot.error);
            slot.value.reset();
            slot.error = nullptr;
            slot.ready = false;
            bytes_ready -= slot.bytes;
            ++taken;
            const bool wake = worth_waking();
            lock.unlock();
            if (wake) room.notify_all();
            if (error) std::rethrow_exception(error);
            return value;
        }

        template <class Clock, class Duration>
        bool wait_until(const std::chrono::time_point<Clock, Duration>& deadline) {
            std::unique_lock lock(mutex);
            const auto settled = [&] { return cancelled || taken == items || slots[taken % window].ready; };
            if (settled()) return true;
            consumer_waiting = true;
            const bool ready = finished.wait_until(lock, deadline, settled);
            consumer_waiting = false;
            return ready;
        }

        void cancel() noexcept {
            {
                std::lock_guard lock(mutex);
                cancelled = true;
            }
            room.notify_all();
            finished.notify_all();
        }
    };

    void stop() noexcept {
        state_->cancel();
        for (std::thread& worker : workers_) {
            if (worker.joinable()) worker.join();
        }
    }

    std::unique_ptr<State> state_;
    std::vector<std::thread> workers_;
};

}  // namespace corvex::engine
