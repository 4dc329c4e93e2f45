#include <nt/dispatcher.h>

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using nt::Event;
using nt::EventType;

// Generous: only a broken implementation waits this long.
constexpr auto kPatience = 20s;

// Waits until `object` has `count` blocked waiters, so a test can signal
// knowing who is already waiting.
void AwaitWaiters(const nt::DispatcherObject& object, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (object.WaiterCount() != count) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "waiters never blocked";
        std::this_thread::sleep_for(1ms);
    }
}

nt::Ref<Event> MakeEvent(EventType type, bool signaled = false) {
    auto event = nt::MakeRef<Event>(type, signaled);
    EXPECT_TRUE(event);
    return event;
}

TEST(Event, SetAndResetReportThePreviousState) {
    auto e = MakeEvent(EventType::Notification);
    EXPECT_EQ(e->ReadState(), 0);
    EXPECT_EQ(e->Set(), 0);
    EXPECT_EQ(e->Set(), 1);
    EXPECT_EQ(e->ReadState(), 1);
    EXPECT_EQ(e->Reset(), 1);
    EXPECT_EQ(e->Reset(), 0);
}

TEST(Event, NotificationEventReleasesEveryWaiterAndStaysSet) {
    auto e = MakeEvent(EventType::Notification);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            EXPECT_EQ(nt::WaitForSingleObject(*e, nt::kInfinite), STATUS_WAIT_0);
            ++released;
        });
    AwaitWaiters(*e, 4);
    e->Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 4);
    EXPECT_EQ(e->ReadState(), 1);
    EXPECT_EQ(nt::WaitForSingleObject(*e, 0ms), STATUS_WAIT_0);  // still set
    e->Reset();
    EXPECT_EQ(nt::WaitForSingleObject(*e, 0ms), STATUS_TIMEOUT);
}

TEST(Event, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
    auto e = MakeEvent(EventType::Synchronization);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            EXPECT_EQ(nt::WaitForSingleObject(*e, nt::kInfinite), STATUS_WAIT_0);
            ++released;
        });
    AwaitWaiters(*e, 3);
    for (size_t remaining = 2;; --remaining) {
        e->Set();
        // Satisfied under the dispatcher lock: one waiter left the list and
        // the event was consumed before Set returned.
        EXPECT_EQ(e->WaiterCount(), remaining);
        EXPECT_EQ(e->ReadState(), 0);
        if (remaining == 0) break;
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 3);
}

TEST(Event, SynchronizationEventWithoutWaitersStaysSetForOneWait) {
    auto e = MakeEvent(EventType::Synchronization);
    e->Set();
    e->Set();  // does not count
    EXPECT_EQ(nt::WaitForSingleObject(*e, 0ms), STATUS_WAIT_0);
    EXPECT_EQ(nt::WaitForSingleObject(*e, 0ms), STATUS_TIMEOUT);
}

TEST(Event, LivesInCallerStorageWithoutDestruction) {
    // How the kernel surface builds a KEVENT in driver memory: the event is
    // never destroyed, so after its waits it must own nothing (the leak
    // checker of the address sanitizer build would see it).
    alignas(Event) unsigned char storage[sizeof(Event)];
    auto* e = new (storage) Event(EventType::Synchronization, false);
    std::thread waiter([&] { EXPECT_EQ(nt::WaitForSingleObject(*e, nt::kInfinite), STATUS_WAIT_0); });
    AwaitWaiters(*e, 1);
    e->Set();
    waiter.join();
    EXPECT_EQ(e->WaiterCount(), 0u);
}

TEST(Event, PulseReleasesCurrentWaitersAndLeavesTheEventClear) {
    auto e = MakeEvent(EventType::Notification);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] { EXPECT_EQ(nt::WaitForSingleObject(*e, nt::kInfinite), STATUS_WAIT_0); });
    AwaitWaiters(*e, 2);
    e->Pulse();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(e->ReadState(), 0);
}

TEST(Wait, TimeoutsExpire) {
    auto e = MakeEvent(EventType::Notification);
    EXPECT_EQ(nt::WaitForSingleObject(*e, 0ms), STATUS_TIMEOUT);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nt::WaitForSingleObject(*e, 30ms), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_EQ(e->WaiterCount(), 0u);  // a timed-out waiter leaves no trace
    EXPECT_EQ(nt::TimeoutFromMilliseconds(0xFFFFFFFFu), nt::kInfinite);
    EXPECT_EQ(nt::TimeoutFromMilliseconds(5), nt::Timeout(5ms));
}

TEST(Wait, HugeTimeoutsDoNotOverflow) {
    auto e = MakeEvent(EventType::Notification);
    std::thread setter([&] {
        AwaitWaiters(*e, 1);
        e->Set();
    });
    EXPECT_EQ(nt::WaitForSingleObject(*e, std::chrono::nanoseconds::max()), STATUS_WAIT_0);
    setter.join();
}

TEST(Wait, AnyReturnsTheLowestSignaledIndexAndConsumesOnlyThatObject) {
    auto a = MakeEvent(EventType::Synchronization);
    auto b = MakeEvent(EventType::Synchronization, true);
    auto c = MakeEvent(EventType::Synchronization, true);
    nt::DispatcherObject* objects[] = {a.get(), b.get(), c.get()};
    EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::Any, 0ms), STATUS_WAIT_0 + 1);
    EXPECT_EQ(b->ReadState(), 0);
    EXPECT_EQ(c->ReadState(), 1);
    EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::Any, 0ms), STATUS_WAIT_0 + 2);
    EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::Any, 0ms), STATUS_TIMEOUT);
}

TEST(Wait, AnyWakesOnALaterSignal) {
    auto a = MakeEvent(EventType::Notification);
    auto b = MakeEvent(EventType::Notification);
    nt::DispatcherObject* objects[] = {a.get(), b.get()};
    std::thread setter([&] {
        AwaitWaiters(*b, 1);
        b->Set();
    });
    EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::Any, nt::kInfinite), STATUS_WAIT_0 + 1);
    setter.join();
    EXPECT_EQ(a->WaiterCount(), 0u);  // unlinked from every object
}

TEST(Wait, AllAcquiresEveryObjectTogetherOrNone) {
    auto a = MakeEvent(EventType::Synchronization);
    auto b = MakeEvent(EventType::Synchronization);
    nt::DispatcherObject* objects[] = {a.get(), b.get()};
    a->Set();
    EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::All, 0ms), STATUS_TIMEOUT);
    EXPECT_EQ(a->ReadState(), 1);  // not consumed by the failed wait-all
    b->Set();
    EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::All, 0ms), STATUS_WAIT_0);
    EXPECT_EQ(a->ReadState(), 0);
    EXPECT_EQ(b->ReadState(), 0);
}

TEST(Wait, WaitAllDoesNotTakeWhatAnotherWaiterGetsFirst) {
    auto a = MakeEvent(EventType::Synchronization);
    auto b = MakeEvent(EventType::Synchronization);
    std::atomic<bool> all_done{false};
    std::thread all_waiter([&] {
        nt::DispatcherObject* objects[] = {a.get(), b.get()};
        EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::All, nt::kInfinite), STATUS_WAIT_0);
        all_done = true;
    });
    AwaitWaiters(*b, 1);
    std::thread any_waiter([&] { EXPECT_EQ(nt::WaitForSingleObject(*a, nt::kInfinite), STATUS_WAIT_0); });
    AwaitWaiters(*a, 2);

    a->Set();  // the wait-all cannot use it (b is clear); the single wait takes it
    any_waiter.join();
    EXPECT_FALSE(all_done.load());
    EXPECT_EQ(a->ReadState(), 0);
    EXPECT_EQ(b->WaiterCount(), 1u);

    b->Set();  // b alone is not enough either
    EXPECT_FALSE(all_done.load());
    EXPECT_EQ(b->ReadState(), 1);
    a->Set();
    all_waiter.join();
    EXPECT_TRUE(all_done.load());
    EXPECT_EQ(a->ReadState(), 0);
    EXPECT_EQ(b->ReadState(), 0);
}

TEST(Wait, AnyMayNameAnObjectTwice) {
    auto a = MakeEvent(EventType::Synchronization);
    auto b = MakeEvent(EventType::Synchronization);
    std::thread waiter([&] {
        nt::DispatcherObject* objects[] = {a.get(), b.get(), a.get()};
        EXPECT_EQ(nt::WaitForMultipleObjects(objects, nt::WaitType::Any, nt::kInfinite), STATUS_WAIT_0);
    });
    AwaitWaiters(*a, 2);
    a->Set();
    waiter.join();
    EXPECT_EQ(a->WaiterCount(), 0u);
    EXPECT_EQ(b->WaiterCount(), 0u);
    EXPECT_EQ(a->ReadState(), 0);
}

TEST(Wait, RejectsMalformedObjectLists) {
    auto a = MakeEvent(EventType::Notification, true);
    nt::DispatcherObject* twice[] = {a.get(), a.get()};
    EXPECT_EQ(nt::WaitForMultipleObjects(twice, nt::WaitType::All, 0ms), STATUS_INVALID_PARAMETER_MIX);
    EXPECT_EQ(nt::WaitForMultipleObjects(twice, nt::WaitType::Any, 0ms), STATUS_WAIT_0);
    EXPECT_EQ(nt::WaitForMultipleObjects({}, nt::WaitType::Any, 0ms), STATUS_INVALID_PARAMETER);
    std::vector<nt::DispatcherObject*> many(nt::kMaximumWaitObjects + 1, a.get());
    EXPECT_EQ(nt::WaitForMultipleObjects(many, nt::WaitType::Any, 0ms), STATUS_INVALID_PARAMETER);
    many.resize(nt::kMaximumWaitObjects);
    EXPECT_EQ(nt::WaitForMultipleObjects(many, nt::WaitType::Any, 0ms), STATUS_WAIT_0);
    nt::DispatcherObject* with_null[] = {a.get(), nullptr};
    EXPECT_EQ(nt::WaitForMultipleObjects(with_null, nt::WaitType::Any, 0ms), STATUS_INVALID_PARAMETER);
}

TEST(Wait, PingPongLosesNoWakeups) {
    auto ping = MakeEvent(EventType::Synchronization);
    auto pong = MakeEvent(EventType::Synchronization);
    constexpr int kRounds = 5000;
    int shared = 0;  // handed back and forth; the events order every access
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(nt::WaitForSingleObject(*ping, nt::Timeout(kPatience)), STATUS_WAIT_0);
            ++shared;
            pong->Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ++shared;
        ping->Set();
        ASSERT_EQ(nt::WaitForSingleObject(*pong, nt::Timeout(kPatience)), STATUS_WAIT_0);
    }
    partner.join();
    EXPECT_EQ(shared, 2 * kRounds);
}

TEST(Thread, SignalsAtExitWithItsExitCode) {
    auto go = MakeEvent(EventType::Notification);
    nt::Ref<nt::Thread> thread;
    ASSERT_EQ(nt::Thread::Create(
                  [&]() -> uint32_t {
                      nt::WaitForSingleObject(*go, nt::kInfinite);
                      return 42;
                  },
                  &thread),
              STATUS_SUCCESS);
    EXPECT_EQ(thread->ExitCode(), nt::Thread::kStillActive);
    EXPECT_EQ(nt::WaitForSingleObject(*thread, 0ms), STATUS_TIMEOUT);
    go->Set();
    EXPECT_EQ(nt::WaitForSingleObject(*thread, nt::Timeout(kPatience)), STATUS_WAIT_0);
    EXPECT_EQ(thread->ExitCode(), 42u);
    EXPECT_EQ(nt::WaitForSingleObject(*thread, 0ms), STATUS_WAIT_0);  // stays signaled
}

TEST(Thread, RunsOnWhenEveryHandleIsClosed) {
    auto go = MakeEvent(EventType::Notification);
    auto done = MakeEvent(EventType::Notification);
    {
        nt::Ref<nt::Thread> thread;
        ASSERT_EQ(nt::Thread::Create(
                      [go, done]() -> uint32_t {
                          nt::WaitForSingleObject(*go, nt::kInfinite);
                          done->Set();
                          return 0;
                      },
                      &thread),
                  STATUS_SUCCESS);
        HANDLE h = nullptr;
        ASSERT_EQ(nt::InsertHandle(thread.get(), &h), STATUS_SUCCESS);
        ASSERT_EQ(nt::CloseHandle(h), STATUS_SUCCESS);
    }
    go->Set();
    EXPECT_EQ(nt::WaitForSingleObject(*done, nt::Timeout(kPatience)), STATUS_WAIT_0);
}

TEST(Thread, CurrentNamesTheRunningThread) {
    nt::Thread* main = nt::Thread::Current();
    EXPECT_EQ(main, nt::Thread::Current());
    EXPECT_EQ(main->Id() % 4, 0u);
    EXPECT_EQ(main->ExitCode(), nt::Thread::kStillActive);

    std::atomic<nt::Thread*> seen{nullptr};
    nt::Ref<nt::Thread> thread;
    ASSERT_EQ(nt::Thread::Create(
                  [&]() -> uint32_t {
                      seen = nt::Thread::Current();
                      return 0;
                  },
                  &thread),
              STATUS_SUCCESS);
    ASSERT_EQ(nt::WaitForSingleObject(*thread, nt::Timeout(kPatience)), STATUS_WAIT_0);
    EXPECT_EQ(seen.load(), thread.get());
    EXPECT_NE(thread->Id(), main->Id());

    // A thread the platform did not start gets an object that signals when
    // the thread ends.
    nt::Ref<nt::Thread> foreign;
    std::thread plain([&] { foreign = nt::Ref<nt::Thread>(nt::Thread::Current()); });
    plain.join();
    ASSERT_TRUE(foreign);
    EXPECT_EQ(nt::WaitForSingleObject(*foreign, 0ms), STATUS_WAIT_0);
}

// A start routine the test names its threads after: static, so only the
// file's own symbol table knows it.
static void SamplingRoutine() {}
static void PollingThread() {}

// Each thread carries its name from its first instruction on, as Linux
// shows it; a start routine gives the name, "Thread" at its end dropped.
TEST(Thread, CarriesTheNameItWasCreatedWith) {
    EXPECT_EQ(nt::ThreadNameFor(reinterpret_cast<const void*>(&SamplingRoutine)), "Sampling");
    EXPECT_EQ(nt::ThreadNameFor(reinterpret_cast<const void*>(&PollingThread)), "Polling");
    // An address no function starts at: the file's stem and a count.
    const std::string unnamed = nt::ThreadNameFor(reinterpret_cast<const char*>(&PollingThread) + 1);
    EXPECT_EQ(unnamed.rfind("nt_dispatcher", 0), 0u) << unnamed;
    EXPECT_NE(unnamed.find('-'), std::string::npos) << unnamed;
    EXPECT_LE(unnamed.size(), nt::kThreadNameLength);

    char seen[16] = {};
    nt::Ref<nt::Thread> thread;
    ASSERT_EQ(nt::Thread::Create(
                  [&]() -> uint32_t {
                      pthread_getname_np(pthread_self(), seen, sizeof(seen));
                      return 0;
                  },
                  &thread, "AVeryLongNameForAThread"),
              STATUS_SUCCESS);
    ASSERT_EQ(nt::WaitForSingleObject(*thread, kPatience), STATUS_WAIT_0);
    EXPECT_STREQ(seen, "AVeryLongNameFo");
    EXPECT_EQ(thread->Name(), "AVeryLongNameFo");
}

TEST(Thread, PriorityIsRecordedAndAffinityApplied) {
    nt::Thread* self = nt::Thread::Current();
    const LONG priority = self->Priority();
    self->SetPriority(31);
    EXPECT_EQ(self->Priority(), 31);
    self->SetPriority(priority);
    EXPECT_EQ(self->SetAffinity(0), STATUS_INVALID_PARAMETER);
    // Pin to the first processor this process may use.
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    int cpu = 0;
    while (cpu < 64 && !CPU_ISSET(cpu, &allowed)) ++cpu;
    ASSERT_LT(cpu, 64);
    const uint64_t affinity = self->Affinity();
    EXPECT_EQ(self->SetAffinity(uint64_t{1} << cpu), STATUS_SUCCESS);
    EXPECT_EQ(self->Affinity(), uint64_t{1} << cpu);
    EXPECT_EQ(sched_getcpu(), cpu);
    EXPECT_EQ(self->SetAffinity(affinity), STATUS_SUCCESS);
}

}  // namespace
