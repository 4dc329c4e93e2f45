// Handles, events, waits and critical sections over the shared dispatcher.
#include "um_status.h"

#include <nt/dispatcher.h>

#include <array>
#include <mutex>
#include <new>
#include <thread>

namespace {

template <class Operation>
BOOL OnEvent(HANDLE hEvent, Operation operation) {
    nt::Ref<nt::Event> event;
    NTSTATUS status = nt::ReferenceObjectByHandle(hEvent, &event);
    if (!NT_SUCCESS(status)) return um::FailWithStatus(status);
    operation(*event);
    return TRUE;
}

DWORD WaitResult(NTSTATUS status) {
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    if (NT_SUCCESS(status)) return static_cast<DWORD>(status);  // WAIT_OBJECT_0 + i
    um::FailWithStatus(status);
    return WAIT_FAILED;
}

}  // namespace

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
    // Closing a pseudo-handle of the current thread does nothing, as on
    // Windows. INVALID_HANDLE_VALUE is refused: closing the result of a
    // failed open is a fault the caller should hear about.
    if (hObject == nt::kCurrentThreadHandle) return TRUE;
    NTSTATUS status = nt::CloseHandle(hObject);
    return NT_SUCCESS(status) ? TRUE : um::FailWithStatus(status);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    (void)lpEventAttributes;
    if (lpName != nullptr) {
        um::FailWithError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    nt::Ref<nt::Event> event = nt::MakeRef<nt::Event>(
        bManualReset ? nt::EventType::Notification : nt::EventType::Synchronization, bInitialState != FALSE);
    if (!event) {
        um::FailWithError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = nt::InsertHandle(event.get(), &handle);
    if (!NT_SUCCESS(status)) {
        um::FailWithStatus(status);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    return OnEvent(hEvent, [](nt::Event& e) { e.Set(); });
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return OnEvent(hEvent, [](nt::Event& e) { e.Reset(); });
}

BOOL WINAPI PulseEvent(HANDLE hEvent) {
    return OnEvent(hEvent, [](nt::Event& e) { e.Pulse(); });
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        um::FailWithError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The references keep every object alive for the whole wait, even if
    // another thread closes a handle meanwhile.
    std::array<nt::Ref<nt::DispatcherObject>, MAXIMUM_WAIT_OBJECTS> refs;
    std::array<nt::DispatcherObject*, MAXIMUM_WAIT_OBJECTS> objects{};
    for (DWORD i = 0; i < nCount; ++i) {
        NTSTATUS status = nt::ReferenceObjectByHandle(lpHandles[i], &refs[i]);
        if (!NT_SUCCESS(status)) return WaitResult(status);
        objects[i] = refs[i].get();
    }
    return WaitResult(nt::WaitForMultipleObjects(std::span(objects.data(), nCount),
                                                 bWaitAll ? nt::WaitType::All : nt::WaitType::Any,
                                                 nt::TimeoutFromMilliseconds(dwMilliseconds)));
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    nt::DelayExecution(std::chrono::milliseconds(dwMilliseconds));
}

// Critical sections keep a recursive mutex behind DebugInfo; the other
// fields keep Windows' layout for code that sizes or zeroes the structure.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    InitializeCriticalSectionAndSpinCount(lpCriticalSection, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->SpinCount = dwSpinCount;
    lpCriticalSection->DebugInfo = new (std::nothrow) std::recursive_mutex;
    return lpCriticalSection->DebugInfo != nullptr ? TRUE : um::FailWithError(ERROR_NOT_ENOUGH_MEMORY);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    static_cast<std::recursive_mutex*>(lpCriticalSection->DebugInfo)->lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return static_cast<std::recursive_mutex*>(lpCriticalSection->DebugInfo)->try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    static_cast<std::recursive_mutex*>(lpCriticalSection->DebugInfo)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete static_cast<std::recursive_mutex*>(lpCriticalSection->DebugInfo);
    lpCriticalSection->DebugInfo = nullptr;
}

}  // extern "C"
