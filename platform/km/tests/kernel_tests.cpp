// Kernel services and the framework object tree, without a device.
#include <ntddk.h>
#include <wdf.h>

#include <km/debug.hpp>
#include <km/kernel.hpp>

#include <nt/dispatcher.h>
#include <nt/pool.h>

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Relative(LONGLONG milliseconds) {
    LARGE_INTEGER t;
    t.QuadPart = -milliseconds * 10'000;
    return t;
}

TEST(KernelEvents, NotificationEventsReleaseEveryWaiterAndStaySet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER none = Relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_TIMEOUT);

    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_WAIT_0) ++released;
        });
    }
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelEvents, SynchronizationEventsLetOneWaiterThroughPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            LARGE_INTEGER patience = Relative(10'000);
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &patience) == STATUS_WAIT_0) ++released;
        });
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (released.load() < 1) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(released.load(), 1) << "one set, one waiter";
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the wait consumed the signal";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(KernelEvents, RelativeTimeoutsRunOut) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(15);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
}

struct ThreadRun {
    KEVENT started;
    std::atomic<bool> afterTerminate{false};
    ULONG priority = 0;
};

void ThreadMain(PVOID context) {
    auto* run = static_cast<ThreadRun*>(context);
    run->priority = static_cast<ULONG>(KeQueryPriorityThread(KeGetCurrentThread()));
    KeSetEvent(&run->started, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
    run->afterTerminate = true;
}

TEST(SystemThreads, ReferencedThreadObjectsAreWaitedOnAfterTheHandleCloses) {
    ThreadRun run;
    KeInitializeEvent(&run.started, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadMain, &run),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    ObDereferenceObject(thread);
    EXPECT_EQ(KeReadStateEvent(&run.started), 1);
    EXPECT_FALSE(run.afterTerminate.load()) << "PsTerminateSystemThread does not return";
    EXPECT_EQ(run.priority, 8u) << "system threads start at priority 8";
}

TEST(SystemThreads, PriorityIsRecordedAndAffinityApplied) {
    PKTHREAD self = KeGetCurrentThread();
    KPRIORITY before = KeQueryPriorityThread(self);
    KeSetPriorityThread(self, HIGH_PRIORITY);
    EXPECT_EQ(KeQueryPriorityThread(self), HIGH_PRIORITY);
    KeSetPriorityThread(self, before);

    KAFFINITY all = KeQueryActiveProcessors();
    ULONG count = KeQueryActiveProcessorCount(nullptr);
    ASSERT_GE(count, 1u);
    KAFFINITY last = KAFFINITY{1} << (count - 1);
    KAFFINITY previous = KeSetSystemAffinityThreadEx(last);
    EXPECT_EQ(previous, 0u) << "the thread was not bound before";
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(CPU_COUNT(&set), 1);
    EXPECT_TRUE(CPU_ISSET(count - 1, &set));
    EXPECT_EQ(KeGetCurrentProcessorNumber(), count - 1);
    KeRevertToUserAffinityThreadEx(previous);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(static_cast<KAFFINITY>(CPU_COUNT(&set)), static_cast<KAFFINITY>(__builtin_popcountll(all)));
}

TEST(ObjectReferences, UserEventsAreReferencedAsEventsOnly) {
    nt::Ref<nt::Event> event = nt::MakeRef<nt::Event>(nt::EventType::Synchronization, false);
    HANDLE handle = nullptr;
    ASSERT_EQ(nt::InsertHandle(event.get(), &handle), STATUS_SUCCESS);

    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, UserMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    // The reference outlives the user's handle.
    EXPECT_EQ(nt::CloseHandle(handle), STATUS_SUCCESS);
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(nt::WaitForSingleObject(*event, std::chrono::nanoseconds(0)), STATUS_WAIT_0);
    EXPECT_EQ(nt::WaitForSingleObject(*event, std::chrono::nanoseconds(0)), STATUS_TIMEOUT) << "auto reset";
    ObDereferenceObject(object);

    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
}

TEST(Time, SystemTimeAndThePerformanceCounterAgree) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER first = KeQueryPerformanceCounter(&frequency);
    ASSERT_GT(frequency.QuadPart, 0);
    LARGE_INTEGER now;
    KeQuerySystemTimePrecise(&now);
    // 100 ns units since 1601: the year 2020 lies past this.
    EXPECT_GT(now.QuadPart, 132'223'104'000'000'000LL);
    LARGE_INTEGER delay = Relative(10);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    LARGE_INTEGER second = KeQueryPerformanceCounter(nullptr);
    EXPECT_GE(second.QuadPart - first.QuadPart, frequency.QuadPart / 100);
}

TEST(Time, TimerResolutionRequestsAreRecordedAndWithdrawn) {
    size_t before = km::TimerResolutionRequests();
    EXPECT_EQ(ExSetTimerResolution(10'000, TRUE), 10'000u);
    EXPECT_EQ(km::TimerResolutionRequests(), before + 1);
    EXPECT_EQ(km::TimerResolution(), 10'000u);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(km::TimerResolutionRequests(), before);
}

TEST(Pool, TaggedBlocksAreCountedUntilFreed) {
    const ULONG tag = nt::PoolTag("KmT1");
    size_t before = nt::PoolOutstandingBlocks(tag);
    PVOID a = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 100, tag);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 7, tag);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(nt::PoolOutstandingBlocks(tag), before + 2);
    ExFreePoolWithTag(a, tag);
    ExFreePool(b);
    EXPECT_EQ(nt::PoolOutstandingBlocks(tag), before);
}

TEST(Debugger, DbgPrintAppendsToTheMachinesLog) {
    if (std::getenv("FL_DEBUGGER")) GTEST_SKIP() << "output goes to stderr with FL_DEBUGGER set";
    auto path = std::filesystem::temp_directory_path() / ("km-debugger-" + std::to_string(getpid()) + ".log");
    std::filesystem::remove(path);
    auto old = km::DebuggerLogPath();
    km::SetDebuggerLogPath(path);
    DbgPrint("Driver v %u.%u.%u.%.u compiled at %s %s\n", 1u, 4u, 1843u, 846u, "Jan  1 2024", "00:00:00");
    DbgPrint("WaitTimeoutForNewNegotiation = %u\n", 150u);
    // Windows' own format: ULONG is %lu, 64-bit values are %I64u, wide
    // strings %ws and UNICODE_STRINGs %wZ.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"FL");
    DbgPrint("%lu %I64u %llx %ws %wZ %ld|%5.2s|%c%%|%Iu\n", ULONG{7}, ULONG64{12345678901}, ULONG64{0xABCDEF012},
             u"wide", &name, LONG{-5}, "abc", 'x', SIZE_T{42});
    km::SetDebuggerLogPath(old);
    std::ifstream log(path);
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_EQ(text.str(),
              "Driver v 1.4.1843.846 compiled at Jan  1 2024 00:00:00\nWaitTimeoutForNewNegotiation = 150\n"
              "7 12345678901 abcdef012 wide FL -5|   ab|x%|42\n");
    std::filesystem::remove(path);
}

// Framework objects without a device: locks make handy parents and children.
struct NODE_CONTEXT {
    int Id;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NODE_CONTEXT, NodeContext)
struct OTHER_CONTEXT {
    int Unused;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, OtherContext)

std::vector<int>* cleanupOrder = nullptr;
void NodeCleanup(WDFOBJECT object) { cleanupOrder->push_back(NodeContext(object)->Id); }
void NodeDestroy(WDFOBJECT object) { cleanupOrder->push_back(-NodeContext(object)->Id); }

WDFWAITLOCK MakeNode(int id, WDFOBJECT parent) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NODE_CONTEXT);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = NodeCleanup;
    attributes.EvtDestroyCallback = NodeDestroy;
    WDFWAITLOCK lock = nullptr;
    EXPECT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_SUCCESS);
    EXPECT_EQ(NodeContext(lock)->Id, 0) << "contexts start zeroed";
    NodeContext(lock)->Id = id;
    return lock;
}

TEST(FrameworkObjects, DeletingAParentCleansUpChildrenFirstThenDestroys) {
    std::vector<int> order;
    cleanupOrder = &order;
    WDFWAITLOCK root = MakeNode(1, nullptr);
    WDFWAITLOCK child = MakeNode(2, root);
    MakeNode(3, child);
    MakeNode(4, root);
    EXPECT_EQ(OtherContext(root), nullptr) << "a context type the object does not have";

    WdfObjectDelete(root);
    EXPECT_EQ(order, (std::vector<int>{4, 3, 2, 1, -4, -3, -2, -1}));
    cleanupOrder = nullptr;
}

TEST(FrameworkObjects, DeletingAChildThatItsParentAlreadyTookDownIsHarmless) {
    std::vector<int> order;
    cleanupOrder = &order;
    km::ClearDriverFaults();
    WDFWAITLOCK root = MakeNode(1, nullptr);
    WDFWAITLOCK child = MakeNode(2, root);
    WdfObjectDelete(child);
    EXPECT_EQ(order, (std::vector<int>{2, -2}));
    WdfObjectDelete(root);
    EXPECT_EQ(order, (std::vector<int>{2, -2, 1, -1}));
    // The handle is dead now: using it is a fault the framework reports.
    WdfObjectDelete(child);
    EXPECT_EQ(km::DriverFaultCount(), 1u);
    km::ClearDriverFaults();
    cleanupOrder = nullptr;
}

TEST(FrameworkObjects, MemoryObjectsHoldTaggedPoolUntilTheirParentGoes) {
    const ULONG tag = nt::PoolTag("KmT2");
    WDFWAITLOCK parent = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &parent), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolCacheAligned, tag, 1000, &memory, &buffer), STATUS_SUCCESS);
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(static_cast<UCHAR*>(buffer)[999], 0);
    EXPECT_EQ(nt::PoolOutstandingBlocks(tag), 1u);
    WdfObjectDelete(parent);
    EXPECT_EQ(nt::PoolOutstandingBlocks(tag), 0u);
}

TEST(FrameworkObjects, WaitLocksTimeOutAndSpinLocksExclude) {
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    std::thread other([&] {
        LONGLONG timeout = -10 * 10'000;  // 10 ms
        EXPECT_EQ(WdfWaitLockAcquire(lock, &timeout), STATUS_TIMEOUT);
        LONGLONG now = 0;
        EXPECT_EQ(WdfWaitLockAcquire(lock, &now), STATUS_TIMEOUT);
    });
    other.join();
    WdfWaitLockRelease(lock);
    LONGLONG now = 0;
    EXPECT_EQ(WdfWaitLockAcquire(lock, &now), STATUS_SUCCESS);
    WdfWaitLockRelease(lock);
    WdfObjectDelete(lock);

    WDFSPINLOCK spin = nullptr;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spin), STATUS_SUCCESS);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                WdfSpinLockAcquire(spin);
                ++counter;
                WdfSpinLockRelease(spin);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
    WdfObjectDelete(spin);

    KSPIN_LOCK kernelLock;
    KeInitializeSpinLock(&kernelLock);
    long kernelCounter = 0;
    threads.clear();
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                KIRQL irql;
                KeAcquireSpinLock(&kernelLock, &irql);
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                ++kernelCounter;
                KeReleaseSpinLock(&kernelLock, irql);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(kernelCounter, 40000);
}

}  // namespace
