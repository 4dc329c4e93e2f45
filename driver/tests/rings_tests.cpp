// The command rings of the driver-wide threads, on real threads: a post
// returns only once its command was handled, commands arrive in order, and
// a ring holds at most three pending commands.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "driver.h"

namespace {

using namespace std::chrono_literals;

class Rings : public ::testing::Test {
protected:
    Rings() { EXPECT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock_), STATUS_SUCCESS); }
    ~Rings() override
    {
        StopConsumer();
        WdfObjectDelete(lock_);
    }

    // The ring's thread: takes commands while `taking_` is set and answers
    // each one after recording it.
    void StartConsumer()
    {
        consumer_ = std::thread([this] {
            while (!stop_.load()) {
                COMMAND command;
                if (taking_.load() && TakeCommand(&ring_, &command)) {
                    {
                        std::lock_guard<std::mutex> guard(seenLock_);
                        seen_.push_back(command.Command);
                    }
                    KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                } else {
                    std::this_thread::sleep_for(1ms);
                }
            }
        });
    }
    void StopConsumer()
    {
        stop_ = true;
        if (consumer_.joinable()) consumer_.join();
    }
    std::vector<ULONG> Seen()
    {
        std::lock_guard<std::mutex> guard(seenLock_);
        return seen_;
    }
    ULONG Pending() { return (ReadULongAcquire(&ring_.Producer) - ReadULongAcquire(&ring_.Consumer)) % 4; }

    COMMAND_RING ring_{};
    WDFWAITLOCK lock_ = nullptr;
    std::thread consumer_;
    std::atomic<bool> taking_{true};
    std::atomic<bool> stop_{false};
    std::mutex seenLock_;
    std::vector<ULONG> seen_;
};

TEST_F(Rings, PostsReturnOnceHandledAndInOrder)
{
    StartConsumer();
    for (ULONG c = 1; c <= 10; c++) {
        PostCommand(&ring_, lock_, c, nullptr, nullptr);
        ASSERT_EQ(Seen().size(), c);  // handled before the post returned
    }
    std::vector<ULONG> expected;
    for (ULONG c = 1; c <= 10; c++) expected.push_back(c);
    EXPECT_EQ(Seen(), expected);
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(Rings, AFullRingHoldsThreeAndTheFourthPosterWaits)
{
    taking_ = false;
    StartConsumer();
    std::atomic<int> returned{0};
    std::vector<std::thread> posters;
    for (ULONG c = 1; c <= 4; c++) {
        posters.emplace_back([&, c] {
            PostCommand(&ring_, lock_, c, nullptr, nullptr);
            returned++;
        });
        // Post in a known order.
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (Pending() < std::min<ULONG>(c, 3) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
    }
    // Three entries filled, one always empty: the fourth poster waits in
    // its 10 ms steps, and nobody has returned.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Pending(), 3u);
    EXPECT_EQ(returned.load(), 0);

    taking_ = true;
    for (auto& poster : posters) poster.join();
    EXPECT_EQ(returned.load(), 4);
    EXPECT_EQ(Seen(), (std::vector<ULONG>{1, 2, 3, 4}));
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(Rings, TakeFindsNothingInAnEmptyRing)
{
    COMMAND command;
    EXPECT_FALSE(TakeCommand(&ring_, &command));
    // Wrapping: indices run 0..3 and around.
    StartConsumer();
    for (ULONG c = 0; c < 9; c++) PostCommand(&ring_, lock_, 7, nullptr, nullptr);
    StopConsumer();
    EXPECT_EQ(ring_.Producer, 9u % 4);
    EXPECT_EQ(ring_.Consumer, 9u % 4);
    EXPECT_FALSE(TakeCommand(&ring_, &command));
}

// The management thread's post to the negotiation thread: it never waits,
// neither for a full ring nor for a lock another poster holds, and what it
// posts arrives in order with its event.
TEST_F(Rings, TryPostNeverWaits)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    for (ULONG c = 1; c <= 3; c++) EXPECT_TRUE(TryPostCommand(&ring_, lock_, c, nullptr, nullptr, &done));
    EXPECT_FALSE(TryPostCommand(&ring_, lock_, 4, nullptr, nullptr, &done)) << "a full ring took a fourth";
    EXPECT_EQ(Pending(), 3u);

    COMMAND command;
    ASSERT_TRUE(TakeCommand(&ring_, &command));
    EXPECT_EQ(command.Command, 1u);
    EXPECT_EQ(command.Done, &done);

    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread other([&] {
        WdfWaitLockAcquire(lock_, nullptr);
        held = true;
        while (!release.load()) std::this_thread::sleep_for(1ms);
        WdfWaitLockRelease(lock_);
    });
    while (!held.load()) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(TryPostCommand(&ring_, lock_, 4, nullptr, nullptr, nullptr)) << "waited for the lock";
    release = true;
    other.join();

    EXPECT_TRUE(TryPostCommand(&ring_, lock_, 4, nullptr, nullptr, nullptr));
    for (ULONG c = 2; c <= 4; c++) {
        ASSERT_TRUE(TakeCommand(&ring_, &command));
        EXPECT_EQ(command.Command, c);
    }
    EXPECT_EQ(command.Done, nullptr);
    EXPECT_FALSE(TakeCommand(&ring_, &command));
}

}  // namespace
