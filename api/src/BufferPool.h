// The pool of free buffers of an instance.
//
// One critical section per instance guards its free buffers and its queue of
// outstanding reads; the pool owns that lock so that a buffer released on any
// thread finds its way back under it. Buffers are kept as a stack (the most
// recently released first, its memory likely still warm) linked through
// their own `Next` field.
#pragma once

#include <windows.h>

#include <cstdint>

namespace FlApi {

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& lock) noexcept : Lock(lock)
    {
        EnterCriticalSection(&Lock);
    }
    ~CriticalSectionGuard() { LeaveCriticalSection(&Lock); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& Lock;
};

template <class Buffer>
class BufferPool {
public:
    BufferPool() noexcept { InitializeCriticalSection(&Lock); }

    // Destroys the buffers lying in the pool. Buffers still held elsewhere
    // are not the pool's to free: their holders release them before the
    // instance closes.
    ~BufferPool()
    {
        while (Buffer* buffer = PopLocked()) {
            delete buffer;
        }
        DeleteCriticalSection(&Lock);
    }

    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // Puts a buffer in front of the others; may come from any thread.
    void Push(Buffer* buffer) noexcept
    {
        CriticalSectionGuard guard(Lock);
        PushLocked(buffer);
    }

    // The most recently pushed buffer, or null when the pool is empty.
    Buffer* Pop() noexcept
    {
        CriticalSectionGuard guard(Lock);
        return PopLocked();
    }

    // For the owning instance, which guards its read queue with the same lock.
    CRITICAL_SECTION& GetLock() noexcept { return Lock; }

    void PushLocked(Buffer* buffer) noexcept
    {
        buffer->Next = Head;
        Head = buffer;
    }

    Buffer* PopLocked() noexcept
    {
        Buffer* buffer = Head;
        if (buffer != nullptr) {
            Head = buffer->Next;
            buffer->Next = nullptr;
        }
        return buffer;
    }

    // Buffers created for this pool, counted by the instance as it fills it.
    uint32_t GetCreatedCount() const noexcept { return CreatedCount; }
    void CountCreated() noexcept { ++CreatedCount; }

private:
    CRITICAL_SECTION Lock;
    Buffer* Head = nullptr;
    uint32_t CreatedCount = 0;
};

} // namespace FlApi
