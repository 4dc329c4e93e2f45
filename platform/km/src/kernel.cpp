// Kernel services: events, waits, system threads, object references, time,
// priority and affinity, timer resolution, pool, spin locks and strings.
//
// A KEVENT that lives in a driver's own memory (often on its stack) is a
// word with a futex: it needs no construction beyond KeInitializeEvent and no
// destruction, as on Windows. An event a driver gets from a user handle
// (ObReferenceObjectByHandle) is a small proxy over the object manager's
// Event, so that setting it releases the user's waiters.
#include <km/io.hpp>
#include <km/kernel.hpp>

#include <wdm.h>

#include <nt/dispatcher.h>
#include <nt/object.h>
#include <nt/pool.h>
#include <nt/time.h>

#include "fault.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _OBJECT_TYPE {
    const char* name;
};

// Thread objects handed to drivers.
struct _KTHREAD {
    DISPATCHER_HEADER Header;  // Type = ThreadObject
    std::atomic<LONG> references{1};
    nt::Ref<nt::Thread> thread;
};

namespace {

_OBJECT_TYPE eventType{"Event"};
_OBJECT_TYPE threadType{"Thread"};
_OBJECT_TYPE fileType{"File"};
POBJECT_TYPE eventTypePointer = &eventType;
POBJECT_TYPE threadTypePointer = &threadType;
POBJECT_TYPE fileTypePointer = &fileType;

// DISPATCHER_HEADER.Reserved1: how the object came to be.
constexpr UCHAR kEmbedded = 0;    // in the driver's memory, KeInitializeEvent
constexpr UCHAR kReferenced = 1;  // a proxy from ObReferenceObjectByHandle
constexpr UCHAR kPerThread = 2;   // KeGetCurrentThread's own object

struct EventProxy {
    KEVENT event{};  // first: the driver's PKEVENT points here
    std::atomic<LONG> references{1};
    nt::Ref<nt::Event> target;
    // An event of another process (a hosted program's): `target` is then a
    // stand-in of this process that keeps the state the driver reads and
    // waits on, and every change is passed on to the real one.
    std::shared_ptr<km::io::UserEvent> remote;
};

// The process whose requests this thread dispatches, when not this one.
thread_local km::io::Requestor* currentRequestor = nullptr;

std::atomic_ref<LONG> SignalState(PRKEVENT event) { return std::atomic_ref<LONG>(event->Header.SignalState); }

EventProxy* ProxyOf(PRKEVENT event) { return static_cast<EventProxy*>(event->Header.Reserved3); }

bool IsEvent(const void* object) {
    UCHAR type = *static_cast<const UCHAR*>(object);
    return type == EventNotificationObject || type == EventSynchronizationObject;
}

// Windows timeouts: null forever, negative relative, positive absolute
// system time, all in 100 ns units.
nt::Timeout ToTimeout(const LARGE_INTEGER* timeout) {
    if (timeout == nullptr) return nt::kInfinite;
    LONGLONG ticks = timeout->QuadPart;
    if (ticks > 0) ticks = std::max<LONGLONG>(0, ticks - nt::QuerySystemTime());
    else ticks = -ticks;
    return std::chrono::nanoseconds(ticks * 100);
}

NTSTATUS WaitEmbedded(PRKEVENT event, nt::Timeout timeout) {
    LONG* word = &event->Header.SignalState;
    std::atomic_ref<LONG> state(*word);
    const bool autoReset = event->Header.Type == EventSynchronizationObject;
    const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                  : std::chrono::steady_clock::time_point::max();
    for (;;) {
        if (autoReset) {
            LONG expected = 1;
            if (state.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return STATUS_WAIT_0;
        } else if (state.load(std::memory_order_acquire) != 0) {
            return STATUS_WAIT_0;
        }
        timespec wait{};
        const timespec* limit = nullptr;
        if (timeout) {
            auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds::zero()) return STATUS_TIMEOUT;
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = ns / 1'000'000'000;
            wait.tv_nsec = ns % 1'000'000'000;
            limit = &wait;
        }
        // Sleeps only while the word still reads 0; a set in between wakes us.
        syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, 0, limit, nullptr, 0);
    }
}

struct SystemThreadExit {
    NTSTATUS status;
};

// System threads whose routine runs: each registers itself first and leaves
// last, so the objects listed are alive.
std::mutex systemThreadsLock;
std::vector<nt::Thread*> systemThreads;

struct SystemThreadListed {
    nt::Thread* self;
    SystemThreadListed() : self(nt::Thread::Current()) {
        std::lock_guard guard(systemThreadsLock);
        systemThreads.push_back(self);
    }
    ~SystemThreadListed() {
        std::lock_guard guard(systemThreadsLock);
        std::erase(systemThreads, self);
    }
};

std::atomic<size_t> failingThreadReferences{0};

bool TakeThreadReferenceFault() {
    size_t left = failingThreadReferences.load();
    while (left != 0 && !failingThreadReferences.compare_exchange_weak(left, left - 1)) {
    }
    return left != 0;
}

// Timer resolution requests (100 ns units), as ExSetTimerResolution keeps them.
std::mutex resolutionLock;
std::vector<ULONG> resolutionRequests;
constexpr ULONG kDefaultResolution = 156250;

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local bool systemAffinity = false;
thread_local KAFFINITY savedAffinity = 0;

}  // namespace

extern "C" {
POBJECT_TYPE* ExEventObjectType = &eventTypePointer;
POBJECT_TYPE* PsThreadType = &threadTypePointer;
POBJECT_TYPE* IoFileObjectType = &fileTypePointer;
}

// ------------------------------------------------------------------------
// Events

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
    Event->Header.Reserved1 = kEmbedded;
    Event->Header.Reserved3 = nullptr;
    SignalState(Event).store(State ? 1 : 0, std::memory_order_release);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    if (Event->Header.Reserved1 == kReferenced) {
        EventProxy* proxy = ProxyOf(Event);
        const LONG previous = proxy->target->Set();
        if (proxy->remote) proxy->remote->Set();
        return previous;
    }
    LONG previous = SignalState(Event).exchange(1, std::memory_order_acq_rel);
    // Every waiter looks again; an auto-reset event lets one of them through.
    syscall(SYS_futex, &Event->Header.SignalState, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    return previous;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    if (Event->Header.Reserved1 == kReferenced) {
        EventProxy* proxy = ProxyOf(Event);
        const LONG previous = proxy->target->Reset();
        if (proxy->remote) proxy->remote->Reset();
        return previous;
    }
    return SignalState(Event).exchange(0, std::memory_order_acq_rel);
}

extern "C" VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    if (Event->Header.Reserved1 == kReferenced) return ProxyOf(Event)->target->ReadState();
    return SignalState(Event).load(std::memory_order_acquire);
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (Object == nullptr) {
        km::ReportDriverFault("KeWaitForSingleObject: null object");
        return STATUS_INVALID_PARAMETER;
    }
    nt::Timeout timeout = ToTimeout(Timeout);
    if (IsEvent(Object)) {
        auto* event = static_cast<PRKEVENT>(Object);
        if (event->Header.Reserved1 == kReferenced) return nt::WaitForSingleObject(*ProxyOf(event)->target, timeout);
        return WaitEmbedded(event, timeout);
    }
    if (*static_cast<const UCHAR*>(Object) == ThreadObject) {
        return nt::WaitForSingleObject(*static_cast<PKTHREAD>(Object)->thread, timeout);
    }
    km::ReportDriverFault("KeWaitForSingleObject: %p is not a waitable object", Object);
    return STATUS_INVALID_PARAMETER;
}

// Threads held at their delays by a test (HoldThreadsAtDelay).
std::atomic<bool> holding{false};
std::mutex holdLock;
std::condition_variable holdReleased;
std::string heldName;  // guarded by holdLock
size_t heldCount = 0;  // guarded by holdLock

void HoldIfNamed() {
    std::unique_lock guard(holdLock);
    if (!holding.load() || nt::Thread::Current()->Name() != heldName) return;
    heldCount++;
    holdReleased.wait(guard, [] { return !holding.load(); });
    heldCount--;
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (holding.load(std::memory_order_relaxed)) HoldIfNamed();
    nt::Timeout delay = ToTimeout(Interval);
    if (delay) nt::DelayExecution(*delay);
    return STATUS_SUCCESS;
}

extern "C" VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    // A busy wait on Windows; sleeping serves the same purpose here (waiting
    // at least that long for a device) without burning a shared core.
    std::this_thread::sleep_for(std::chrono::microseconds(MicroSeconds));
}

// ------------------------------------------------------------------------
// System threads and references

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext) {
    (void)DesiredAccess;
    (void)ObjectAttributes;
    (void)ProcessHandle;
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    *ThreadHandle = nullptr;
    nt::Ref<nt::Thread> thread;
    NTSTATUS status = nt::Thread::Create(
        [StartRoutine, StartContext]() -> uint32_t {
            SystemThreadListed listed;
            try {
                StartRoutine(StartContext);
            } catch (const SystemThreadExit& exit) {
                return static_cast<uint32_t>(exit.status);
            }
            return STATUS_SUCCESS;
        },
        &thread, nt::ThreadNameFor(reinterpret_cast<const void*>(StartRoutine)));
    if (!NT_SUCCESS(status)) return status;
    status = nt::InsertHandle(thread.get(), ThreadHandle);
    if (NT_SUCCESS(status) && ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(getpid()));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(thread->Id()));
    }
    return status;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) { throw SystemThreadExit{ExitStatus}; }

extern "C" PKTHREAD KeGetCurrentThread(void) {
    thread_local _KTHREAD self;
    if (!self.thread) {
        self.Header.Type = ThreadObject;
        self.Header.Reserved1 = kPerThread;
        self.thread = nt::Ref<nt::Thread>(nt::Thread::Current());
    }
    return &self;
}

extern "C" PETHREAD PsGetCurrentThread(void) { return KeGetCurrentThread(); }

extern "C" HANDLE PsGetCurrentThreadId(void) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(nt::Thread::Current()->Id()));
}

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PVOID* Object,
                                              POBJECT_HANDLE_INFORMATION HandleInformation) {
    (void)AccessMode;
    if (Object == nullptr) return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    if (AccessMode == UserMode && currentRequestor != nullptr) {
        // A handle of the hosted program that issued the request: only its
        // events are ever handed to the driver.
        if (ObjectType != nullptr && ObjectType != eventTypePointer) return STATUS_OBJECT_TYPE_MISMATCH;
        std::shared_ptr<km::io::UserEvent> remote;
        NTSTATUS status = currentRequestor->ReferenceEvent(Handle, &remote);
        if (!NT_SUCCESS(status)) return status;
        auto* proxy = new (std::nothrow) EventProxy;
        if (proxy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        proxy->event.Header.Type = EventNotificationObject;
        proxy->event.Header.Reserved1 = kReferenced;
        proxy->event.Header.Reserved3 = proxy;
        proxy->target = nt::MakeRef<nt::Event>(nt::EventType::Notification, false);
        proxy->remote = std::move(remote);
        if (!proxy->target) {
            delete proxy;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        *Object = &proxy->event;
        if (HandleInformation) {
            HandleInformation->HandleAttributes = 0;
            HandleInformation->GrantedAccess = DesiredAccess;
        }
        return STATUS_SUCCESS;
    }
    nt::Ref<nt::Object> any;
    NTSTATUS status = nt::ReferenceObjectByHandle(Handle, &any);
    if (!NT_SUCCESS(status)) return status;
    if (auto* event = dynamic_cast<nt::Event*>(any.get())) {
        if (ObjectType != nullptr && ObjectType != eventTypePointer) return STATUS_OBJECT_TYPE_MISMATCH;
        auto* proxy = new (std::nothrow) EventProxy;
        if (proxy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        proxy->event.Header.Type = event->Type() == nt::EventType::Synchronization ? EventSynchronizationObject
                                                                                   : EventNotificationObject;
        proxy->event.Header.Reserved1 = kReferenced;
        proxy->event.Header.Reserved3 = proxy;
        proxy->target = nt::Ref<nt::Event>(event);
        *Object = &proxy->event;
    } else if (auto* thread = dynamic_cast<nt::Thread*>(any.get())) {
        if (ObjectType != nullptr && ObjectType != threadTypePointer) return STATUS_OBJECT_TYPE_MISMATCH;
        if (TakeThreadReferenceFault()) return STATUS_INSUFFICIENT_RESOURCES;
        auto* proxy = new (std::nothrow) _KTHREAD;
        if (proxy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        proxy->Header.Type = ThreadObject;
        proxy->Header.Reserved1 = kReferenced;
        proxy->thread = nt::Ref<nt::Thread>(thread);
        *Object = proxy;
    } else {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

namespace km::io {

RequestorScope::RequestorScope(Requestor* requestor) noexcept : previous_(currentRequestor) {
    currentRequestor = requestor;
}

RequestorScope::~RequestorScope() { currentRequestor = previous_; }

}  // namespace km::io

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
    if (Object == nullptr) return 0;
    UCHAR type = *static_cast<const UCHAR*>(Object);
    if (type == IO_TYPE_DEVICE) return InterlockedIncrement(&static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount);
    if (IsEvent(Object)) {
        auto* event = static_cast<PRKEVENT>(Object);
        if (event->Header.Reserved1 == kReferenced) return ++ProxyOf(event)->references;
        return 1;
    }
    if (type == ThreadObject) {
        auto* thread = static_cast<PKTHREAD>(Object);
        if (thread->Header.Reserved1 == kReferenced) return ++thread->references;
        return 1;
    }
    km::ReportDriverFault("ObReferenceObject: %p is not an object", Object);
    return 0;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    if (Object == nullptr) {
        km::ReportDriverFault("ObDereferenceObject: null object");
        return 0;
    }
    UCHAR type = *static_cast<const UCHAR*>(Object);
    if (type == IO_TYPE_DEVICE) return InterlockedDecrement(&static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount);
    if (IsEvent(Object)) {
        auto* event = static_cast<PRKEVENT>(Object);
        if (event->Header.Reserved1 != kReferenced) {
            km::ReportDriverFault("ObDereferenceObject: event %p was never referenced", Object);
            return 0;
        }
        EventProxy* proxy = ProxyOf(event);
        LONG left = --proxy->references;
        if (left == 0) delete proxy;
        return left;
    }
    if (type == ThreadObject) {
        auto* thread = static_cast<PKTHREAD>(Object);
        if (thread->Header.Reserved1 != kReferenced) return 1;  // the current thread's own object
        LONG left = --thread->references;
        if (left == 0) delete thread;
        return left;
    }
    km::ReportDriverFault("ObDereferenceObject: %p is not an object", Object);
    return 0;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) { return nt::CloseHandle(Handle); }

extern "C" NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)Alertable;
    nt::Ref<nt::DispatcherObject> object;
    NTSTATUS status = nt::ReferenceObjectByHandle(Handle, &object);
    if (!NT_SUCCESS(status)) return status;
    return nt::WaitForSingleObject(*object, ToTimeout(Timeout));
}

// ------------------------------------------------------------------------
// Priority and affinity

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (Thread == nullptr) return 0;
    KPRIORITY previous = Thread->thread->Priority();
    Thread->thread->SetPriority(Priority);
    return previous;
}

extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return Thread ? Thread->thread->Priority() : 0; }

extern "C" KAFFINITY KeQueryActiveProcessors(void) {
    unsigned count = std::clamp(std::thread::hardware_concurrency(), 1u, 64u);
    return count == 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << count) - 1;
}

extern "C" ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
    KAFFINITY mask = KeQueryActiveProcessors();
    if (ActiveProcessors) *ActiveProcessors = mask;
    return static_cast<ULONG>(__builtin_popcountll(mask));
}

extern "C" ULONG KeGetCurrentProcessorNumber(void) {
    int cpu = sched_getcpu();
    return cpu < 0 ? 0 : static_cast<ULONG>(cpu);
}

extern "C" KAFFINITY KeSetSystemAffinityThreadEx(KAFFINITY Affinity) {
    KAFFINITY previous = systemAffinity ? savedAffinity : 0;
    systemAffinity = true;
    savedAffinity = Affinity;
    nt::Thread::Current()->SetAffinity(Affinity & KeQueryActiveProcessors());
    return previous;
}

extern "C" VOID KeSetSystemAffinityThread(KAFFINITY Affinity) { KeSetSystemAffinityThreadEx(Affinity); }

extern "C" VOID KeRevertToUserAffinityThreadEx(KAFFINITY Affinity) {
    if (Affinity == 0) {
        systemAffinity = false;
        savedAffinity = 0;
        nt::Thread::Current()->SetAffinity(KeQueryActiveProcessors());
    } else {
        savedAffinity = Affinity;
        nt::Thread::Current()->SetAffinity(Affinity & KeQueryActiveProcessors());
    }
}

extern "C" VOID KeRevertToUserAffinityThread(void) { KeRevertToUserAffinityThreadEx(0); }

extern "C" KIRQL KeGetCurrentIrql(void) { return currentIrql; }

// ------------------------------------------------------------------------
// Time

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = nt::QueryPerformanceFrequency();
    LARGE_INTEGER counter;
    counter.QuadPart = nt::QueryPerformanceCounter();
    return counter;
}

extern "C" VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = nt::QuerySystemTime(); }

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = nt::QuerySystemTime(); }

extern "C" ULONGLONG KeQueryInterruptTime(void) {
    LONGLONG frequency = nt::QueryPerformanceFrequency();
    LONGLONG counter = nt::QueryPerformanceCounter();
    return static_cast<ULONGLONG>(counter / frequency * 10'000'000 + counter % frequency * 10'000'000 / frequency);
}

extern "C" ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
    std::lock_guard guard(resolutionLock);
    if (SetResolution) {
        resolutionRequests.push_back(DesiredTime);
    } else if (!resolutionRequests.empty()) {
        resolutionRequests.pop_back();
    }
    if (resolutionRequests.empty()) return kDefaultResolution;
    return *std::min_element(resolutionRequests.begin(), resolutionRequests.end());
}

namespace km {

ULONG TimerResolution() {
    std::lock_guard guard(resolutionLock);
    if (resolutionRequests.empty()) return kDefaultResolution;
    return *std::min_element(resolutionRequests.begin(), resolutionRequests.end());
}

size_t TimerResolutionRequests() {
    std::lock_guard guard(resolutionLock);
    return resolutionRequests.size();
}

std::vector<SystemThread> SystemThreads() {
    std::lock_guard guard(systemThreadsLock);
    std::vector<SystemThread> threads;
    for (nt::Thread* thread : systemThreads) threads.push_back({thread->Name(), thread->Priority()});
    return threads;
}

void FailThreadReferences(size_t count) { failingThreadReferences.store(count); }

void HoldThreadsAtDelay(const std::string& name) {
    std::lock_guard guard(holdLock);
    heldName = name;
    holding.store(true);
}

void ReleaseHeldThreads() {
    {
        std::lock_guard guard(holdLock);
        holding.store(false);
    }
    holdReleased.notify_all();
}

size_t HeldThreadCount() {
    std::lock_guard guard(holdLock);
    return heldCount;
}

}  // namespace km

// ------------------------------------------------------------------------
// Pool

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    (void)PoolType;
    return nt::PoolAllocate(NumberOfBytes, Tag);
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, nt::PoolTag("None"));
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { nt::PoolFreeWithTag(P, Tag); }

extern "C" VOID ExFreePool(PVOID P) { nt::PoolFree(P); }

// ------------------------------------------------------------------------
// Spin locks

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    for (;;) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, 1, std::memory_order_acquire)) return;
        while (word.load(std::memory_order_relaxed) != 0) std::this_thread::yield();
    }
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    KIRQL previous = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    return previous;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    currentIrql = NewIrql;
}

// ------------------------------------------------------------------------
// Strings

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t length = 0;
    if (SourceString) {
        while (SourceString[length] != 0) ++length;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? (length + 1) * sizeof(WCHAR) : 0);
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    size_t count = String1->Length / sizeof(WCHAR);
    for (size_t i = 0; i < count; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= u'a' && a <= u'z') a = static_cast<WCHAR>(a - u'a' + u'A');
            if (b >= u'a' && b <= u'z') b = static_cast<WCHAR>(b - u'a' + u'A');
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}
