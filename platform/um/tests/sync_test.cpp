#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kPatienceMs = 20000;

// Closes a handle at scope exit.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != nullptr) CloseHandle(h);
    }
    operator HANDLE() const { return h; }
};

TEST(Events, ManualResetStaysSignaledUntilReset) {
    Handle e(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 10), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, AutoResetSatisfiesOneWait) {
    Handle e(CreateEventA(nullptr, FALSE, TRUE, nullptr));  // initially signaled
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, NamedEventsAreRefused) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\Something"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(Waits, SeveralObjects) {
    Handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // both consumed

    // A later signal from another thread ends a blocked wait.
    std::thread setter([&] {
        Sleep(20);
        SetEvent(a);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, kPatienceMs), WAIT_OBJECT_0);
    setter.join();
}

TEST(Waits, BadArgumentsFailWithWin32Errors) {
    Handle e(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    const HANDLE one[] = {e};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, one, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, one, FALSE, 0), WAIT_FAILED);
    const HANDLE twice[] = {e, e};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    const HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t{0x7700});
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    const HANDLE mixed[] = {e, bogus};
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

DWORD WINAPI WaitThenReturn(LPVOID parameter) {
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 1234;
}

TEST(Threads, WaitableWithExitCode) {
    Handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD id = 0;
    Handle thread(CreateThread(nullptr, 0, WaitThenReturn, go.h, 0, &id));
    ASSERT_NE(thread.h, nullptr);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(thread, kPatienceMs), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 1234u);

    // A thread handle is not an event.
    SetLastError(0);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Threads, RefusedStartsAndPseudoHandles) {
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateThread(nullptr, 0, WaitThenReturn, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));  // closing the pseudo-handle does nothing
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());

    BOOL wow = TRUE;
    EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &wow));
    EXPECT_FALSE(wow);
}

struct Shared {
    CRITICAL_SECTION lock;
    long counter = 0;  // guarded by lock
};

DWORD WINAPI IncrementMany(LPVOID parameter) {
    auto* shared = static_cast<Shared*>(parameter);
    for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&shared->lock);
        EnterCriticalSection(&shared->lock);  // recursion is allowed
        ++shared->counter;
        LeaveCriticalSection(&shared->lock);
        LeaveCriticalSection(&shared->lock);
    }
    return 0;
}

TEST(CriticalSections, ExcludeOtherThreadsAndRecurse) {
    Shared shared;
    InitializeCriticalSection(&shared.lock);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i) {
        HANDLE t = CreateThread(nullptr, 0, IncrementMany, &shared, 0, nullptr);
        ASSERT_NE(t, nullptr);
        threads.push_back(t);
    }
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, kPatienceMs),
              WAIT_OBJECT_0);
    for (HANDLE t : threads) CloseHandle(t);
    EXPECT_EQ(shared.counter, 4 * 20000);

    // Held by this thread: another thread cannot enter.
    EnterCriticalSection(&shared.lock);
    std::atomic<BOOL> entered{TRUE};
    std::thread other([&] { entered = TryEnterCriticalSection(&shared.lock); });
    other.join();
    EXPECT_FALSE(entered.load());
    LeaveCriticalSection(&shared.lock);
    DeleteCriticalSection(&shared.lock);
}

TEST(Time, PerformanceCounterAndTicks) {
    LARGE_INTEGER frequency, a, b;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    const ULONGLONG ticks = GetTickCount64();
    Sleep(15);
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_GE(b.QuadPart - a.QuadPart, 15 * 10'000);
    EXPECT_GE(GetTickCount64() - ticks, 15u);
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const ULONGLONG now = (ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    EXPECT_GT(now, 133'000'000'000'000'000ull);  // after 2022
}

}  // namespace
