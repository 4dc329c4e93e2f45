// Dispatcher objects and waits.
#include <nt/dispatcher.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace nt {

// A wait block's place in one object's wait list.
struct WaitLink {
    WaitLink* prev = nullptr;
    WaitLink* next = nullptr;
    WaitBlock* block = nullptr;
};

// One waiting thread. It lives on the waiter's stack and is linked into the
// wait list of every object it waits on while it sleeps; all fields are
// guarded by the dispatcher lock.
struct WaitBlock {
    std::span<DispatcherObject* const> objects;
    WaitType type;
    std::condition_variable wake;
    bool satisfied = false;
    NTSTATUS result = STATUS_TIMEOUT;
    std::array<WaitLink, kMaximumWaitObjects> links;

    // Satisfies the wait if the objects' states allow it, applying the side
    // effects (all of them at once for a wait-all).
    bool TrySatisfy() noexcept {
        if (type == WaitType::Any) {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (objects[i]->IsSignaledLocked()) {
                    objects[i]->SatisfyWaitLocked();
                    Finish(STATUS_WAIT_0 + static_cast<NTSTATUS>(i));
                    return true;
                }
            }
            return false;
        }
        for (DispatcherObject* object : objects)
            if (!object->IsSignaledLocked()) return false;
        for (DispatcherObject* object : objects) object->SatisfyWaitLocked();
        Finish(STATUS_WAIT_0);
        return true;
    }

    void Finish(NTSTATUS status) noexcept {
        satisfied = true;
        result = status;
    }

    void Link() noexcept {
        for (size_t i = 0; i < objects.size(); ++i) {
            DispatcherObject* object = objects[i];
            WaitLink& link = links[i];
            link.block = this;
            link.next = nullptr;
            link.prev = object->last_waiter_;
            if (object->last_waiter_ != nullptr)
                object->last_waiter_->next = &link;
            else
                object->first_waiter_ = &link;
            object->last_waiter_ = &link;
        }
    }

    void Unlink() noexcept {
        for (size_t i = 0; i < objects.size(); ++i) {
            DispatcherObject* object = objects[i];
            WaitLink& link = links[i];
            if (link.block == nullptr) continue;
            (link.prev != nullptr ? link.prev->next : object->first_waiter_) = link.next;
            (link.next != nullptr ? link.next->prev : object->last_waiter_) = link.prev;
            link = WaitLink{};
        }
    }

    static std::mutex& Lock() noexcept { return DispatcherObject::DispatcherLock(); }
};

DispatcherObject::~DispatcherObject() = default;

std::mutex& DispatcherObject::DispatcherLock() noexcept {
    static std::mutex* lock = new std::mutex;  // outlives every object, even at exit
    return *lock;
}

bool DispatcherObject::IsSignaled() const noexcept {
    std::lock_guard lock(DispatcherLock());
    return IsSignaledLocked();
}

size_t DispatcherObject::WaiterCount() const noexcept {
    std::lock_guard lock(DispatcherLock());
    size_t count = 0;
    for (const WaitLink* link = first_waiter_; link != nullptr; link = link->next) ++count;
    return count;
}

void DispatcherObject::WakeWaitersLocked() noexcept {
    // First come, first served; stop as soon as the object is consumed (an
    // auto-reset event releases one waiter).
    for (WaitLink* link = first_waiter_; link != nullptr && IsSignaledLocked();) {
        WaitBlock* block = link->block;
        if (block->TrySatisfy()) {
            // Unlinking may take other links of this list with it (a
            // wait-any may name the object twice): start over. The waiters
            // passed over stay unsatisfiable, as the state only lost signals.
            block->Unlink();
            block->wake.notify_one();
            link = first_waiter_;
        } else {
            link = link->next;
        }
    }
}

// ---- Events ----

Event::Event(EventType type, bool signaled) noexcept : type_(type), signaled_(signaled) {}

LONG Event::Set() noexcept {
    std::lock_guard lock(DispatcherLock());
    return SetLocked();
}

LONG Event::SetLocked() noexcept {
    const LONG previous = signaled_ ? 1 : 0;
    signaled_ = true;
    WakeWaitersLocked();
    return previous;
}

LONG Event::Reset() noexcept {
    std::lock_guard lock(DispatcherLock());
    const LONG previous = signaled_ ? 1 : 0;
    signaled_ = false;
    return previous;
}

LONG Event::Pulse() noexcept {
    std::lock_guard lock(DispatcherLock());
    const LONG previous = signaled_ ? 1 : 0;
    signaled_ = true;
    WakeWaitersLocked();
    signaled_ = false;
    return previous;
}

LONG Event::ReadState() const noexcept {
    std::lock_guard lock(DispatcherLock());
    return signaled_ ? 1 : 0;
}

bool Event::IsSignaledLocked() const noexcept { return signaled_; }

void Event::SatisfyWaitLocked() noexcept {
    if (type_ == EventType::Synchronization) signaled_ = false;
}

// ---- Threads ----

struct Thread::Native {
    std::thread thread;
};

namespace {

std::atomic<uint32_t> next_thread_id{4};

thread_local Thread* current_thread = nullptr;

}  // namespace

struct Thread::Start {
    static void Run(Thread* self, Routine& routine) noexcept {
        current_thread = self;
        if (!self->name_.empty()) pthread_setname_np(pthread_self(), self->name_.c_str());
        const uint32_t code = routine();
        self->Exit(code);
        current_thread = nullptr;
        self->Dereference();  // the reference the thread held on itself
    }

    // The object of a thread the platform did not start; it is signaled
    // when the thread ends.
    struct Adopted {
        Ref<Thread> thread;
        ~Adopted() {
            if (thread) {
                thread->Exit(0);
                current_thread = nullptr;
            }
        }
    };
    static thread_local Adopted adopted;
};

thread_local Thread::Start::Adopted Thread::Start::adopted;

Thread::Thread() noexcept : id_(next_thread_id.fetch_add(4, std::memory_order_relaxed)) {}

Thread::~Thread() {
    if (native_ != nullptr) {
        if (native_->thread.joinable()) {
            // The last reference may be dropped by the thread itself; it
            // cannot join itself. Otherwise the thread has signaled its exit
            // and is past its routine, so the join is short.
            if (native_->thread.get_id() == std::this_thread::get_id())
                native_->thread.detach();
            else
                native_->thread.join();
        }
        delete native_;
    }
}

NTSTATUS Thread::Create(Routine routine, Ref<Thread>* thread, std::string name) noexcept {
    if (!routine || thread == nullptr) return STATUS_INVALID_PARAMETER;
    Ref<Thread> object = MakeRef<Thread>();
    if (!object) return STATUS_INSUFFICIENT_RESOURCES;
    Thread* self = object.get();
    if (name.size() > kThreadNameLength) name.resize(kThreadNameLength);
    self->name_ = std::move(name);
    try {
        self->native_ = new Native;
        self->Reference();  // held by the running thread until it returns
        self->native_->thread = std::thread(
            [self, routine = std::move(routine)]() mutable { Start::Run(self, routine); });
    } catch (...) {
        if (self->native_ != nullptr) self->Dereference();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *thread = std::move(object);
    return STATUS_SUCCESS;
}

Thread* Thread::Current() noexcept {
    if (current_thread != nullptr) return current_thread;
    Ref<Thread>& adopted = Start::adopted.thread;
    adopted = MakeRef<Thread>();
    if (!adopted) {
        std::fputs("nt: cannot create the object of the current thread\n", stderr);
        std::abort();
    }
    current_thread = adopted.get();
    return current_thread;
}

void Thread::Exit(uint32_t code) noexcept {
    // Release: the exit code is visible to whoever sees the thread signaled.
    exit_code_.store(code, std::memory_order_release);
    std::lock_guard lock(DispatcherLock());
    exited_ = true;
    WakeWaitersLocked();
}

uint32_t Thread::ExitCode() const noexcept { return exit_code_.load(std::memory_order_acquire); }

LONG Thread::Priority() const noexcept { return priority_.load(std::memory_order_relaxed); }

void Thread::SetPriority(LONG priority) noexcept { priority_.store(priority, std::memory_order_relaxed); }

uint64_t Thread::Affinity() const noexcept { return affinity_.load(std::memory_order_relaxed); }

NTSTATUS Thread::SetAffinity(uint64_t mask) noexcept {
    if (mask == 0) return STATUS_INVALID_PARAMETER;
    // Only the calling thread applies its own affinity: another thread may
    // be exiting, and its native handle with it.
    if (this == Current()) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (unsigned cpu = 0; cpu < 64 && cpu < CPU_SETSIZE; ++cpu)
            if (mask & (uint64_t{1} << cpu)) CPU_SET(cpu, &set);
        if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0) return STATUS_INVALID_PARAMETER;
    }
    affinity_.store(mask, std::memory_order_relaxed);
    return STATUS_SUCCESS;
}

bool Thread::IsSignaledLocked() const noexcept { return exited_; }

// ---- Waits ----

Timeout TimeoutFromMilliseconds(uint32_t milliseconds) noexcept {
    if (milliseconds == kInfiniteMilliseconds) return kInfinite;
    return std::chrono::milliseconds(milliseconds);
}

NTSTATUS WaitForSingleObject(DispatcherObject& object, Timeout timeout) noexcept {
    DispatcherObject* objects[] = {&object};
    return WaitForMultipleObjects(objects, WaitType::Any, timeout);
}

NTSTATUS WaitForMultipleObjects(std::span<DispatcherObject* const> objects, WaitType type,
                                Timeout timeout) noexcept {
    if (objects.empty() || objects.size() > kMaximumWaitObjects) return STATUS_INVALID_PARAMETER;
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i] == nullptr) return STATUS_INVALID_PARAMETER;
        // A wait-all naming an object twice would consume it twice.
        if (type == WaitType::All && std::find(objects.begin(), objects.begin() + i, objects[i]) != objects.begin() + i)
            return STATUS_INVALID_PARAMETER_MIX;
    }

    // Timeouts beyond a century are forever; this also keeps the deadline
    // from overflowing the clock.
    using Clock = std::chrono::steady_clock;
    constexpr auto kForever = std::chrono::hours(24 * 365 * 100);
    if (timeout && *timeout > kForever) timeout = kInfinite;
    const Clock::time_point deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();

    WaitBlock block;
    block.objects = objects;
    block.type = type;

    std::unique_lock lock(WaitBlock::Lock());
    if (block.TrySatisfy()) return block.result;
    if (timeout && timeout->count() <= 0) return STATUS_TIMEOUT;
    block.Link();
    while (!block.satisfied) {
        if (!timeout) {
            block.wake.wait(lock);
        } else if (block.wake.wait_until(lock, deadline) == std::cv_status::timeout && !block.satisfied) {
            block.Unlink();
            return STATUS_TIMEOUT;
        }
    }
    return block.result;
}

void DelayExecution(std::chrono::nanoseconds interval) noexcept {
    if (interval.count() > 0) std::this_thread::sleep_for(interval);
}

}  // namespace nt
