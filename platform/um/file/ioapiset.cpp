// Completion ports and the results of overlapped requests.
#include <windows.h>
#include <winternl.h>

#include "file_object.h"

#include <atomic>
#include <chrono>

using namespace um::file;

namespace {

NTSTATUS StatusOf(const OVERLAPPED* overlapped) {
    // Acquire: pairs with the release store of whoever ended the request.
    const ULONG_PTR internal = std::atomic_ref<ULONG_PTR>(const_cast<ULONG_PTR&>(overlapped->Internal))
                                   .load(std::memory_order_acquire);
    return static_cast<NTSTATUS>(static_cast<ULONG>(internal));
}

}  // namespace

HANDLE WINAPI CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                                     ULONG_PTR CompletionKey, DWORD /*NumberOfConcurrentThreads*/) {
    // The concurrency value only limits how many threads Windows wakes at
    // once; a port here wakes one waiter per packet, which is the same for
    // the single waiter that every user of ours has.
    nt::Ref<CompletionPort> port;
    if (ExistingCompletionPort != nullptr) {
        if (!NT_SUCCESS(nt::ReferenceObjectByHandle(ExistingCompletionPort, &port))) {
            FailWith(STATUS_INVALID_HANDLE);
            return nullptr;
        }
    } else {
        port = nt::MakeRef<CompletionPort>();
        if (!port) {
            FailWith(STATUS_INSUFFICIENT_RESOURCES);
            return nullptr;
        }
    }

    if (FileHandle != INVALID_HANDLE_VALUE) {
        nt::Ref<FileObject> file;
        if (!NT_SUCCESS(nt::ReferenceObjectByHandle(FileHandle, &file))) {
            FailWith(STATUS_INVALID_HANDLE);
            return nullptr;
        }
        if (!file->Bind(port, CompletionKey)) {
            FailWith(STATUS_INVALID_PARAMETER);
            return nullptr;
        }
    } else if (ExistingCompletionPort != nullptr) {
        FailWith(STATUS_INVALID_PARAMETER);
        return nullptr;
    }

    if (ExistingCompletionPort != nullptr) return ExistingCompletionPort;
    HANDLE handle = nullptr;
    if (const NTSTATUS status = nt::InsertHandle(port.get(), &handle); !NT_SUCCESS(status)) {
        FailWith(status);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                                      PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                                      DWORD dwMilliseconds) {
    *lpOverlapped = nullptr;
    nt::Ref<um::file::CompletionPort> port;
    if (!NT_SUCCESS(nt::ReferenceObjectByHandle(CompletionPort, &port))) {
        return FailWith(STATUS_INVALID_HANDLE);
    }
    CompletionPacket packet;
    if (!port->Dequeue(&packet, nt::TimeoutFromMilliseconds(dwMilliseconds))) {
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    *lpNumberOfBytesTransferred = packet.bytes;
    *lpCompletionKey = packet.key;
    *lpOverlapped = packet.overlapped;
    if (!NT_SUCCESS(packet.status)) return FailWith(packet.status);
    return TRUE;
}

BOOL WINAPI PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                       ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped) {
    nt::Ref<um::file::CompletionPort> port;
    if (!NT_SUCCESS(nt::ReferenceObjectByHandle(CompletionPort, &port))) {
        return FailWith(STATUS_INVALID_HANDLE);
    }
    port->Post({dwCompletionKey, dwNumberOfBytesTransferred, lpOverlapped, STATUS_SUCCESS});
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    NTSTATUS status = StatusOf(lpOverlapped);
    if (status == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The request's own event when it has one, else the file, which is
        // signalled whenever one of its requests ends.
        nt::Ref<nt::DispatcherObject> waitable;
        if (HANDLE event = EventHandleOf(lpOverlapped)) {
            nt::Ref<nt::Event> e;
            if (!NT_SUCCESS(nt::ReferenceObjectByHandle(event, &e))) return FailWith(STATUS_INVALID_HANDLE);
            waitable = std::move(e);
        } else {
            nt::Ref<nt::DispatcherObject> f;  // a file, or a device handle
            if (!NT_SUCCESS(nt::ReferenceObjectByHandle(hFile, &f))) return FailWith(STATUS_INVALID_HANDLE);
            waitable = std::move(f);
        }
        const bool ownEvent = EventHandleOf(lpOverlapped) != nullptr;
        for (;;) {
            nt::WaitForSingleObject(*waitable, nt::kInfinite);
            status = StatusOf(lpOverlapped);
            // An event set by someone else ends the wait as on Windows; a
            // file signalled by another of its requests does not.
            if (status != STATUS_PENDING || ownEvent) break;
            nt::DelayExecution(std::chrono::milliseconds(1));
        }
        if (status == STATUS_PENDING) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(
        std::atomic_ref<ULONG_PTR>(lpOverlapped->InternalHigh).load(std::memory_order_relaxed));
    if (!NT_SUCCESS(status)) return FailWith(status);
    return TRUE;
}
