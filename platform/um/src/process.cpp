// Threads, the process, and time.
#include "um_status.h"

#include <nt/dispatcher.h>
#include <nt/time.h>

#include <unistd.h>

#include <thread>

namespace {

template <class Operation>
BOOL OnThread(HANDLE hThread, Operation operation) {
    nt::Ref<nt::Thread> thread;
    NTSTATUS status = nt::ReferenceObjectByHandle(hThread, &thread);
    if (!NT_SUCCESS(status)) return um::FailWithStatus(status);
    operation(*thread);
    return TRUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
    (void)lpThreadAttributes;
    (void)dwStackSize;  // the Linux default stack is larger than Windows' 1 MiB
    if (lpStartAddress == nullptr) {
        um::FailWithError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {
        um::FailWithError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    nt::Ref<nt::Thread> thread;
    NTSTATUS status =
        nt::Thread::Create([lpStartAddress, lpParameter]() -> uint32_t { return lpStartAddress(lpParameter); },
                           &thread, nt::ThreadNameFor(reinterpret_cast<const void*>(lpStartAddress)));
    if (!NT_SUCCESS(status)) {
        um::FailWithStatus(status);
        return nullptr;
    }
    HANDLE handle = nullptr;
    status = nt::InsertHandle(thread.get(), &handle);
    if (!NT_SUCCESS(status)) {
        // The thread runs on without a handle, as after CloseHandle.
        um::FailWithStatus(status);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = thread->Id();
    return handle;
}

HANDLE WINAPI GetCurrentThread(void) { return nt::kCurrentThreadHandle; }

DWORD WINAPI GetCurrentThreadId(void) { return nt::Thread::Current()->Id(); }

HANDLE WINAPI GetCurrentProcess(void) { return nt::kCurrentProcessHandle; }

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    if (lpExitCode == nullptr) return um::FailWithError(ERROR_INVALID_PARAMETER);
    return OnThread(hThread, [lpExitCode](nt::Thread& t) { *lpExitCode = t.ExitCode(); });
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    return OnThread(hThread, [nPriority](nt::Thread& t) { t.SetPriority(nPriority); });
}

int WINAPI GetThreadPriority(HANDLE hThread) {
    int priority = THREAD_PRIORITY_ERROR_RETURN;
    OnThread(hThread, [&priority](nt::Thread& t) { priority = t.Priority(); });
    return priority;
}

BOOL WINAPI SwitchToThread(void) {
    std::this_thread::yield();
    return TRUE;
}

BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    if (hProcess != nt::kCurrentProcessHandle) return um::FailWithError(ERROR_INVALID_HANDLE);
    if (Wow64Process == nullptr) return um::FailWithError(ERROR_INVALID_PARAMETER);
    *Wow64Process = FALSE;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) return um::FailWithError(ERROR_NOACCESS);
    lpPerformanceCount->QuadPart = nt::QueryPerformanceCounter();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (lpFrequency == nullptr) return um::FailWithError(ERROR_NOACCESS);
    lpFrequency->QuadPart = nt::QueryPerformanceFrequency();
    return TRUE;
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(nt::QueryTickCount()); }

ULONGLONG WINAPI GetTickCount64(void) { return nt::QueryTickCount(); }

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    const auto now = static_cast<ULONGLONG>(nt::QuerySystemTime());
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(now);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(now >> 32);
}

}  // extern "C"
