// The one-slot channel between a decoding thread and its iterator, and the
// lock around the receiving end. Every wait is bounded: a thread that should
// have finished and did not fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corvex/python/borrow_flag.hpp"
#include "corvex/python/channel.hpp"

namespace corvex::python {
namespace {

using namespace std::chrono_literals;

constexpr auto limit = 10s;
// How long a wait that must not end is watched before the test goes on.
constexpr auto still_blocked = 50ms;

// Runs `f` on a detached thread. The future's destructor does not wait, so a
// thread stuck by a broken channel cannot hang the test run; `f` must own
// everything it uses. What `f` owns (a channel end) is released before the
// result is reported.
template <class F>
auto in_thread(F f) {
    using R = decltype(f());
    std::promise<R> promise;
    auto result = promise.get_future();
    std::thread([f = std::move(f), promise = std::move(promise)]() mutable {
        R value = f();
        { F spent = std::move(f); }
        promise.set_value(std::move(value));
    }).detach();
    return result;
}

template <class T>
bool finished(std::future<T>& result, std::chrono::milliseconds wait = limit) {
    return result.wait_for(wait) == std::future_status::ready;
}

TEST(Channel, HoldsOneMessageAndDeliversInOrder) {
    auto [sender, receiver] = make_channel<int>();
    // The first send fills the empty slot without anyone receiving.
    EXPECT_FALSE(sender.send(0).has_value());

    auto producer = in_thread([sender = std::move(sender)]() mutable {
        for (int i = 1; i < 2000; ++i) {
            if (sender.send(i)) return false;
        }
        return true;
    });
    // The slot is full, so the producer waits in its first send.
    EXPECT_FALSE(finished(producer, still_blocked));

    std::vector<int> got;
    while (auto message = receiver.receive()) got.push_back(*message);
    ASSERT_TRUE(finished(producer));
    EXPECT_TRUE(producer.get());
    ASSERT_EQ(got.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(got[i], i);
    // The sending end is gone and the slot is empty: every receive fails.
    EXPECT_FALSE(receiver.receive().has_value());
}

TEST(Channel, ReceiveWaitsForASend) {
    auto [sender, receiver] = make_channel<std::string>();
    auto consumer = in_thread([receiver = std::move(receiver)]() mutable { return receiver.receive(); });
    EXPECT_FALSE(finished(consumer, still_blocked));
    EXPECT_FALSE(sender.send("record").has_value());
    ASSERT_TRUE(finished(consumer));
    EXPECT_EQ(consumer.get(), std::optional<std::string>("record"));
}

TEST(Channel, DroppingTheSenderEndsAWaitingReceive) {
    auto [sender, receiver] = make_channel<int>();
    auto consumer = in_thread([receiver = std::move(receiver)]() mutable { return receiver.receive(); });
    EXPECT_FALSE(finished(consumer, still_blocked));
    { auto gone = std::move(sender); }
    ASSERT_TRUE(finished(consumer));
    EXPECT_FALSE(consumer.get().has_value());
}

TEST(Channel, AMessageSentBeforeTheSenderWentIsStillDelivered) {
    auto [sender, receiver] = make_channel<int>();
    EXPECT_FALSE(sender.send(7).has_value());
    { auto gone = std::move(sender); }
    EXPECT_EQ(receiver.receive(), std::optional<int>(7));
    EXPECT_FALSE(receiver.receive().has_value());
}

TEST(Channel, SendFailsOnceTheReceiverIsGoneAndHandsTheMessageBack) {
    auto [sender, receiver] = make_channel<std::unique_ptr<int>>();
    { auto gone = std::move(receiver); }
    auto back = sender.send(std::make_unique<int>(5));
    ASSERT_TRUE(back.has_value());
    ASSERT_NE(*back, nullptr);
    EXPECT_EQ(**back, 5);
}

TEST(Channel, DroppingTheReceiverReleasesABlockedSender) {
    auto [sender, receiver] = make_channel<int>();
    EXPECT_FALSE(sender.send(1).has_value());
    auto producer = in_thread([sender = std::move(sender)]() mutable { return sender.send(2); });
    EXPECT_FALSE(finished(producer, still_blocked));
    { auto gone = std::move(receiver); }
    ASSERT_TRUE(finished(producer));
    EXPECT_EQ(producer.get(), std::optional<int>(2));
}

TEST(Channel, DroppingTheReceiverDiscardsTheMessageInTheSlot) {
    auto [sender, receiver] = make_channel<std::shared_ptr<int>>();
    auto payload = std::make_shared<int>(1);
    std::weak_ptr<int> watch = payload;
    EXPECT_FALSE(sender.send(std::move(payload)).has_value());
    EXPECT_FALSE(watch.expired());
    { auto gone = std::move(receiver); }
    // The sender still exists, so the message is freed by the receiving end
    // itself and not left for the sender's last reference.
    EXPECT_TRUE(watch.expired());
}

TEST(PoisonableLock, AFailureWhileHeldRefusesEveryLaterUse) {
    PoisonableLock<std::vector<int>> lock(std::vector<int>{1});
    EXPECT_EQ(lock.with([](std::vector<int>& v) { return v.size(); }), std::optional<std::size_t>(1));
    EXPECT_FALSE(lock.poisoned());
    EXPECT_THROW(lock.with([](std::vector<int>& v) -> int {
        v.push_back(2);
        throw std::runtime_error("failed half-way");
    }),
                 std::runtime_error);
    EXPECT_TRUE(lock.poisoned());
    bool ran = false;
    EXPECT_FALSE(lock.with([&](std::vector<int>&) {
                         ran = true;
                         return 0;
                     })
                     .has_value());
    EXPECT_FALSE(ran);
}

// The iterator's protocol in miniature: the caller takes exclusive access and
// then waits on the channel; a second caller meanwhile is refused at once,
// and the wait in progress is unaffected.
TEST(IteratorAccess, ASecondCallerIsRefusedWhileTheFirstWaits) {
    auto [sender, receiver] = make_channel<int>();
    auto flag = std::make_shared<BorrowFlag>();
    auto waiting = std::make_shared<std::atomic<bool>>(false);
    auto first = in_thread([flag, waiting, receiver = std::move(receiver)]() mutable -> std::optional<int> {
        if (!flag->try_exclusive()) return -1;
        waiting->store(true);
        auto message = receiver.receive();
        flag->release_exclusive();
        return message;
    });
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!waiting->load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_TRUE(waiting->load());

    EXPECT_FALSE(flag->try_exclusive());  // a second __next__: "Already borrowed"
    EXPECT_FALSE(flag->try_shared());     // __iter__: "Already mutably borrowed"
    EXPECT_FALSE(finished(first, still_blocked));

    EXPECT_FALSE(sender.send(42).has_value());
    ASSERT_TRUE(finished(first));
    EXPECT_EQ(first.get(), std::optional<int>(42));
    EXPECT_TRUE(flag->try_exclusive());
}

}  // namespace
}  // namespace corvex::python
