#include "io_engine.h"

#include "faults.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace um::file {

void CompleteWrite(std::unique_ptr<WriteRequest> request, int64_t result) noexcept {
    NTSTATUS status = request->injected;
    DWORD bytes = 0;
    if (status == STATUS_SUCCESS) {
        if (result >= 0) {
            bytes = static_cast<DWORD>(result);
        } else {
            status = StatusFromErrno(static_cast<int>(-result));
        }
    }

    // The caller may poll Internal without waiting (GetOverlappedResult with
    // bWait FALSE): the byte count is published before the status, and the
    // status with release so that a reader that sees it sees the count.
    OVERLAPPED* overlapped = request->overlapped;
    const auto publish = [overlapped, bytes, status] {
        std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(bytes, std::memory_order_relaxed);
        std::atomic_ref<ULONG_PTR>(overlapped->Internal)
            .store(static_cast<ULONG_PTR>(static_cast<ULONG>(status)), std::memory_order_release);
    };
    // The outcome and the event's signal in one step: a caller that reuses
    // both for its next write never sees this set arrive late.
    if (request->event) {
        request->event->SetAfter(publish);
    } else {
        publish();
    }
    request->file->EndIo();
    // Last: once the packet is out the caller may reuse the OVERLAPPED.
    if (request->port) {
        request->port->Post({request->key, bytes, overlapped, status});
    }
}

IoEngine* EngineForNewFile() noexcept {
    switch (faults::ForcedEngine()) {
    case testing::Engine::Thread:
        return ThreadEngine();
    case testing::Engine::Uring:
        if (IoEngine* uring = UringEngine()) return uring;
        return ThreadEngine();
    case testing::Engine::Default:
        break;
    }
    static const bool threadOnly = [] {
        const char* choice = std::getenv("FL_FILE_IO");
        return choice != nullptr && std::strcmp(choice, "thread") == 0;
    }();
    if (!threadOnly) {
        if (IoEngine* uring = UringEngine()) return uring;
    }
    return ThreadEngine();
}

}  // namespace um::file
