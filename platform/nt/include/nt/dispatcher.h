// Dispatcher objects: everything a thread can wait on. One dispatcher lock
// guards every signal state and every wait, as in the Windows kernel; each
// waiting thread sleeps on a condition variable of its own. That keeps
// wait-all atomic (all objects are acquired in one step or none is) and lets
// an auto-reset event release exactly one waiter.
//
// Kernel events (KEVENT) and user events (CreateEventA) are the same Event
// objects, so a user event handle referenced by the driver can be set there.
#pragma once

#include <nt/object.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace nt {

struct WaitBlock;
struct WaitLink;

enum class WaitType { Any, All };

// nullopt waits forever.
using Timeout = std::optional<std::chrono::nanoseconds>;
inline constexpr Timeout kInfinite = std::nullopt;
inline constexpr uint32_t kInfiniteMilliseconds = 0xFFFFFFFFu;  // INFINITE

class DispatcherObject : public Object {
public:
    // Current signal state (a snapshot).
    bool IsSignaled() const noexcept;
    // Threads waiting on the object now (diagnostics, and tests that must
    // know a waiter is blocked before they signal).
    size_t WaiterCount() const noexcept;

protected:
    DispatcherObject() = default;
    ~DispatcherObject() override;

    // The dispatcher lock. Subclasses change their signal state only while
    // holding it, then call WakeWaitersLocked.
    static std::mutex& DispatcherLock() noexcept;

    // Whether a wait on this object would be satisfied now (lock held).
    virtual bool IsSignaledLocked() const noexcept = 0;
    // The side effect of satisfying a wait, e.g. an auto-reset event clears
    // itself (lock held).
    virtual void SatisfyWaitLocked() noexcept {}
    // Releases the waiters that the object's new state can satisfy, in the
    // order they started waiting (lock held).
    void WakeWaitersLocked() noexcept;

private:
    friend struct WaitBlock;
    // Waiters in arrival order, linked through their own wait blocks: an
    // idle object owns no memory beyond itself, so the kernel surface can
    // build a KEVENT in the caller's storage and never destroy it.
    WaitLink* first_waiter_ = nullptr;  // guarded by the dispatcher lock
    WaitLink* last_waiter_ = nullptr;   // guarded by the dispatcher lock
};

enum class EventType {
    Notification,     // manual reset: stays set and releases every waiter
    Synchronization,  // auto reset: releases one waiter and clears itself
};

class Event final : public DispatcherObject {
public:
    Event(EventType type, bool signaled) noexcept;

    // Each returns the previous state (1 signaled, 0 not), as KeSetEvent does.
    LONG Set() noexcept;
    LONG Reset() noexcept;
    // Releases the current waiters as Set would, then leaves the event clear.
    LONG Pulse() noexcept;
    LONG ReadState() const noexcept;
    EventType Type() const noexcept { return type_; }

    // Runs `publish` (a request's outcome written where its owner looks for
    // it) and sets the event as one step under the dispatcher lock. An owner
    // that sees the outcome may at once reuse the event for its next request
    // and reset it; the set of the old request can then no longer arrive
    // after that reset and wake a wait for the new one. Windows gives the
    // same guarantee by completing in the requester's own context.
    template <class Publish>
    LONG SetAfter(Publish&& publish) noexcept
    {
        std::lock_guard lock(DispatcherLock());
        publish();
        return SetLocked();
    }

protected:
    bool IsSignaledLocked() const noexcept override;
    void SatisfyWaitLocked() noexcept override;

private:
    LONG SetLocked() noexcept;

    const EventType type_;
    bool signaled_;  // guarded by the dispatcher lock
};

// A thread of the process as an object: waitable, signaled when it exits.
// Threads that the platform did not start (main, test runners) get an
// object on first use of Current().
class Thread final : public DispatcherObject {
public:
    static constexpr uint32_t kStillActive = 259;  // STILL_ACTIVE

    using Routine = std::function<uint32_t()>;

    // Starts `routine` on a new thread. The thread keeps its own reference
    // until it returns, so closing every handle does not stop it. The
    // thread carries `name` (cut to 15 characters, what Linux keeps) for
    // top -H, perf and gdb; ThreadNameFor gives one from a start address.
    static NTSTATUS Create(Routine routine, Ref<Thread>* thread, std::string name = {}) noexcept;

    // The calling thread's object. Never null.
    static Thread* Current() noexcept;

    uint32_t Id() const noexcept { return id_; }
    // The name given at creation; empty for threads the platform did not
    // start.
    const std::string& Name() const noexcept { return name_; }
    // kStillActive while running, else the routine's result.
    uint32_t ExitCode() const noexcept;

    // Priorities are recorded (Linux does not give real-time priorities to
    // ordinary processes); affinity is applied to the running thread.
    LONG Priority() const noexcept;
    void SetPriority(LONG priority) noexcept;
    uint64_t Affinity() const noexcept;
    NTSTATUS SetAffinity(uint64_t mask) noexcept;

protected:
    ~Thread() override;

    bool IsSignaledLocked() const noexcept override;

private:
    template <class T, class... Args>
    friend Ref<T> MakeRef(Args&&...) noexcept;
    struct Native;
    struct Start;

    Thread() noexcept;
    void Exit(uint32_t code) noexcept;

    const uint32_t id_;
    Native* native_ = nullptr;  // the std::thread we started, if any
    std::string name_;          // set before the thread starts, then constant
    bool exited_ = false;       // guarded by the dispatcher lock
    std::atomic<uint32_t> exit_code_{kStillActive};
    std::atomic<LONG> priority_{8};
    std::atomic<uint64_t> affinity_{~uint64_t{0}};
};

// The longest thread name Linux keeps (without the terminating zero).
inline constexpr size_t kThreadNameLength = 15;

// A name for a thread that starts at `routine`: the routine's own name from
// the symbols of the file that holds it (a trailing "Thread" or "Routine"
// dropped: "ManagementThread" gives "Management"), or, where the file has no
// symbol for it, the file's stem and a count of the threads named so
// ("fl.sys" gives "fl-3"). At most kThreadNameLength characters.
std::string ThreadNameFor(const void* routine);

// A Win32-style timeout in milliseconds, 0xFFFFFFFF meaning forever.
Timeout TimeoutFromMilliseconds(uint32_t milliseconds) noexcept;

// Most objects a single wait may name (MAXIMUM_WAIT_OBJECTS).
inline constexpr size_t kMaximumWaitObjects = 64;

// STATUS_WAIT_0 when signaled (the wait's side effects applied), or
// STATUS_TIMEOUT.
NTSTATUS WaitForSingleObject(DispatcherObject& object, Timeout timeout) noexcept;

// Any: STATUS_WAIT_0 + the index of the first signaled object (lowest index
// wins when several are). All: STATUS_WAIT_0 once every object is signaled,
// acquired together. STATUS_TIMEOUT when the time runs out;
// STATUS_INVALID_PARAMETER for no objects or more than kMaximumWaitObjects;
// STATUS_INVALID_PARAMETER_MIX for an object named twice in a wait-all.
NTSTATUS WaitForMultipleObjects(std::span<DispatcherObject* const> objects, WaitType type,
                                Timeout timeout) noexcept;

// Suspends the calling thread.
void DelayExecution(std::chrono::nanoseconds interval) noexcept;

}  // namespace nt
