// The hand-over between a decoding thread and the iterator that consumes its
// output: a blocking channel with room for exactly one message, and a lock
// that remembers a holder that failed while holding it. Plain C++: nothing
// here touches the interpreter, so a decoding thread may use it after the
// interpreter has gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace corvex::python {

template <class T>
class Sender;
template <class T>
class Receiver;

namespace channel_detail {

template <class T>
struct State {
    std::mutex mutex;
    std::condition_variable slot_emptied;  // waited on by the sender
    std::condition_variable slot_filled;   // waited on by the receiver
    std::optional<T> slot;
    bool sender_alive = true;
    bool receiver_alive = true;
    // Lock-free mirrors of `slot` being filled and of the sending end being
    // gone, for the receiver's short spin before it waits. The state under
    // the mutex decides.
    std::atomic<bool> full{false};
    std::atomic<bool> sender_gone{false};
};

// Sleeping on a condition variable and being woken costs a system call on
// each side and a context switch: tens of microseconds in a virtual machine,
// often longer than the decoding thread needs for the next spectrum. So the
// receiver first checks `ready` for a short while, pausing and then yielding
// the processor, and sleeps only if that was not enough. The sender does not
// spin: it waits only when the consumer is slower, and whatever the consumer
// does with a spectrum in Python outlasts any sensible spin.
template <class Ready>
void spin_briefly(Ready ready) {
    constexpr int pauses = 256;
    constexpr int yields = 32;
    for (int i = 0; i < pauses; ++i) {
        if (ready()) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    for (int i = 0; i < yields; ++i) {
        if (ready()) return;
        std::this_thread::yield();
    }
}

}  // namespace channel_detail

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel();

// The producing end. Move-only; destroying it lets a waiting or later receive
// on an empty slot fail.
template <class T>
class Sender {
public:
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&&) = delete;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    ~Sender() { close(); }

    // Puts `message` into the slot, waiting as long as the slot is full. Once
    // the receiving end is gone (before or during the wait) the message is
    // handed back instead; nothing is returned on success.
    std::optional<T> send(T message) {
        std::unique_lock lock(state_->mutex);
        state_->slot_emptied.wait(lock, [&] { return !state_->receiver_alive || !state_->slot; });
        if (!state_->receiver_alive) return std::optional<T>(std::move(message));
        state_->slot.emplace(std::move(message));
        state_->full.store(true, std::memory_order_release);
        lock.unlock();
        state_->slot_filled.notify_one();
        return std::nullopt;
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
    explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

    void close() noexcept {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->sender_alive = false;
            state_->sender_gone.store(true, std::memory_order_release);
        }
        state_->slot_filled.notify_all();
        state_.reset();
    }

    std::shared_ptr<channel_detail::State<T>> state_;
};

// The consuming end. Move-only; destroying it makes a waiting or later send
// fail and discards a message left in the slot.
template <class T>
class Receiver {
public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) = delete;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    // The next message, waiting as long as the slot is empty and the sending
    // end exists. Nothing once the sending end is gone and the slot is empty:
    // a message sent before the sender went is still delivered.
    std::optional<T> receive() {
        channel_detail::spin_briefly([&] {
            return state_->full.load(std::memory_order_acquire) ||
                   state_->sender_gone.load(std::memory_order_acquire);
        });
        std::unique_lock lock(state_->mutex);
        state_->slot_filled.wait(lock, [&] { return state_->slot || !state_->sender_alive; });
        if (!state_->slot) return std::nullopt;
        std::optional<T> message(std::move(state_->slot));
        state_->slot.reset();
        state_->full.store(false, std::memory_order_release);
        lock.unlock();
        state_->slot_emptied.notify_one();
        return message;
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> make_channel<T>();
    explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

    // Never waits for the sender: the mutex is only ever held for a few
    // instructions, never across a wait.
    void close() noexcept {
        if (!state_) return;
        std::optional<T> left;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
            left.swap(state_->slot);
        }
        state_->slot_emptied.notify_all();
        state_.reset();
        // `left` is destroyed here, outside the lock.
    }

    std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<channel_detail::State<T>>();
    return {Sender<T>(state), Receiver<T>(std::move(state))};
}

// A value behind a mutex. If the code that holds the lock fails with an
// exception, the value may have been left half-changed: the lock is then
// poisoned, the exception goes on to the caller, and every later attempt to
// use the value is refused.
template <class T>
class PoisonableLock {
public:
    template <class... Args>
    explicit PoisonableLock(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // Runs `body(value)` with the lock held and returns its result, or
    // nothing (without running `body`) when the lock is poisoned.
    template <class Body>
    auto with(Body&& body) -> std::optional<std::invoke_result_t<Body, T&>> {
        std::lock_guard lock(mutex_);
        if (poisoned_) return std::nullopt;
        try {
            return std::invoke(std::forward<Body>(body), value_);
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    bool poisoned() const {
        std::lock_guard lock(mutex_);
        return poisoned_;
    }

private:
    mutable std::mutex mutex_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace corvex::python
