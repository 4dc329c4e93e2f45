// Console control handlers: signals become events on a thread of their own,
// handlers are asked most recent first, and an event nobody takes ends the
// process the way the signal would.
#include <windows.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct Seen {
    std::atomic<int> calls{0};
    std::atomic<DWORD> event{0xFFFFFFFF};
    std::atomic<bool> onMainThread{false};
};

std::thread::id mainThread;
Seen first, second;
std::atomic<BOOL> firstAnswer{TRUE}, secondAnswer{TRUE};

void Record(Seen& seen, DWORD event) {
    seen.event.store(event);
    seen.onMainThread.store(std::this_thread::get_id() == mainThread);
    seen.calls.fetch_add(1);  // last: a waiter that sees the count sees the rest
}

BOOL WINAPI FirstHandler(DWORD event) {
    Record(first, event);
    return firstAnswer.load();
}

BOOL WINAPI SecondHandler(DWORD event) {
    Record(second, event);
    return secondAnswer.load();
}

bool WaitForCalls(const Seen& seen, int calls) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (seen.calls.load() < calls) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class ConsoleCtrlTest : public ::testing::Test {
protected:
    void SetUp() override {
        mainThread = std::this_thread::get_id();
        first.calls = 0;
        second.calls = 0;
        firstAnswer = TRUE;
        secondAnswer = TRUE;
    }
    void TearDown() override {
        // Whatever a test left behind; a handler that is not there fails.
        SetConsoleCtrlHandler(SecondHandler, FALSE);
        SetConsoleCtrlHandler(FirstHandler, FALSE);
    }
};

TEST_F(ConsoleCtrlTest, SignalsBecomeEventsOnAThreadOfTheirOwn) {
    ASSERT_TRUE(SetConsoleCtrlHandler(FirstHandler, TRUE));

    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    ASSERT_TRUE(WaitForCalls(first, 1));
    EXPECT_EQ(first.event.load(), static_cast<DWORD>(CTRL_C_EVENT));
    EXPECT_FALSE(first.onMainThread.load());

    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_TRUE(WaitForCalls(first, 2));
    EXPECT_EQ(first.event.load(), static_cast<DWORD>(CTRL_CLOSE_EVENT));

    ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
    ASSERT_TRUE(WaitForCalls(first, 3));
    EXPECT_EQ(first.event.load(), static_cast<DWORD>(CTRL_CLOSE_EVENT));
    EXPECT_FALSE(first.onMainThread.load());
}

TEST_F(ConsoleCtrlTest, TheMostRecentHandlerIsAskedFirst) {
    ASSERT_TRUE(SetConsoleCtrlHandler(FirstHandler, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(SecondHandler, TRUE));

    // The second takes the event: the first is not asked.
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    ASSERT_TRUE(WaitForCalls(second, 1));

    // The second passes it on: the first gets it. Events are dispatched one
    // after the other, so once the first has seen this one it would also have
    // seen the one before, had it been asked.
    secondAnswer = FALSE;
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    ASSERT_TRUE(WaitForCalls(first, 1));
    EXPECT_EQ(second.calls.load(), 2);
    EXPECT_EQ(first.calls.load(), 1);
}

TEST_F(ConsoleCtrlTest, RemovedHandlersAreNotAskedAndCannotBeRemovedTwice) {
    ASSERT_TRUE(SetConsoleCtrlHandler(FirstHandler, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(SecondHandler, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(SecondHandler, FALSE));

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetConsoleCtrlHandler(SecondHandler, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_TRUE(WaitForCalls(first, 1));
    EXPECT_EQ(second.calls.load(), 0);
}

BOOL WINAPI Decline(DWORD) { return FALSE; }

BOOL WINAPI ExitOnClose(DWORD event) {
    if (event == CTRL_CLOSE_EVENT) ::_exit(7);
    return FALSE;
}

using ConsoleCtrlDeathTest = ConsoleCtrlTest;

TEST_F(ConsoleCtrlDeathTest, AnEventNobodyTakesEndsTheProcessAsItsSignalWould) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(Decline, TRUE);
            ::raise(SIGINT);
            std::this_thread::sleep_for(20s);
            ::_exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "");
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(Decline, TRUE);
            ::raise(SIGTERM);
            std::this_thread::sleep_for(20s);
            ::_exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}

TEST_F(ConsoleCtrlDeathTest, IgnoringCtrlCLeavesCloseEventsToTheHandlers) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Ctrl-C, ignored, would otherwise end the process; the close event that
    // follows it through the same dispatcher ends it with the handler's code.
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(ExitOnClose, TRUE);
            SetConsoleCtrlHandler(nullptr, TRUE);
            ::raise(SIGINT);
            ::raise(SIGTERM);
            std::this_thread::sleep_for(20s);
            ::_exit(0);
        },
        ::testing::ExitedWithCode(7), "");
    // Restored: Ctrl-C reaches the handlers again, which decline it.
    EXPECT_EXIT(
        {
            SetConsoleCtrlHandler(ExitOnClose, TRUE);
            SetConsoleCtrlHandler(nullptr, TRUE);
            SetConsoleCtrlHandler(nullptr, FALSE);
            ::raise(SIGINT);
            std::this_thread::sleep_for(20s);
            ::_exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace
