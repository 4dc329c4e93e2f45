#include "device_file.h"

#include "um_status.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace um::dev {

namespace {

constexpr DWORD kFileReadData = 0x0001;   // FILE_READ_DATA
constexpr DWORD kFileWriteData = 0x0002;  // FILE_WRITE_DATA
constexpr DWORD kGenericAll = 0x10000000;

// What the issuing thread learns of a request's end.
struct Outcome {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;            // guarded by lock
    NTSTATUS status = STATUS_PENDING;  // guarded by lock
    ULONG_PTR information = 0;    // guarded by lock
};

HANDLE EventOf(const OVERLAPPED* overlapped) {
    // The low-order bit only says whether a completion port gets a packet.
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
}

BOOL Answer(NTSTATUS status, ULONG_PTR information, LPDWORD transferred) {
    // Warnings (STATUS_BUFFER_OVERFLOW) fail the call but still report the
    // bytes that came back; errors report none.
    if (transferred != nullptr) *transferred = NT_ERROR(status) ? 0 : static_cast<DWORD>(information);
    if (NT_SUCCESS(status)) return TRUE;
    return FailWithStatus(status);
}

}  // namespace

DeviceFile::DeviceFile(std::shared_ptr<BackendFile> file, DWORD access, bool overlapped) noexcept
    : file_(std::move(file)), access_(access), overlapped_(overlapped) {}

DeviceFile::~DeviceFile() {
    // Cleanup first when the object never had a handle (a failed insert).
    file_->Close();
}

void DeviceFile::OnLastHandleClosed() noexcept { file_->Cleanup(); }

bool DeviceFile::CanRead() const noexcept { return (access_ & (GENERIC_READ | kGenericAll | kFileReadData)) != 0; }

bool DeviceFile::CanWrite() const noexcept {
    return (access_ & (GENERIC_WRITE | kGenericAll | kFileWriteData)) != 0;
}

void DeviceFile::BeginIo() noexcept {
    std::lock_guard guard(DispatcherLock());
    signaled_ = false;
}

void DeviceFile::EndIo() noexcept {
    std::lock_guard guard(DispatcherLock());
    signaled_ = true;
    WakeWaitersLocked();
}

bool DeviceFile::IsSignaledLocked() const noexcept { return signaled_; }

nt::Ref<DeviceFile> ReferenceDeviceFile(HANDLE handle) noexcept {
    nt::Ref<nt::Object> any;
    NTSTATUS status = nt::ReferenceObjectByHandle(handle, &any);
    if (!NT_SUCCESS(status)) {
        FailWithStatus(status);
        return {};
    }
    auto* device = dynamic_cast<DeviceFile*>(any.get());
    if (device == nullptr) {
        // A file or another object: no driver stands behind it.
        FailWithError(ERROR_INVALID_FUNCTION);
        return {};
    }
    return nt::Ref<DeviceFile>(device);
}

BOOL Issue(const nt::Ref<DeviceFile>& file, LPOVERLAPPED overlapped, LPDWORD transferred,
           const Start& start) noexcept {
    if (transferred != nullptr) *transferred = 0;
    if (file->Overlapped() && overlapped == nullptr) return FailWithStatus(STATUS_INVALID_PARAMETER);

    nt::Ref<nt::Event> event;
    if (overlapped != nullptr) {
        if (HANDLE handle = EventOf(overlapped)) {
            if (!NT_SUCCESS(nt::ReferenceObjectByHandle(handle, &event))) return FailWithStatus(STATUS_INVALID_HANDLE);
        }
        std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(0, std::memory_order_relaxed);
        std::atomic_ref<ULONG_PTR>(overlapped->Internal)
            .store(static_cast<ULONG>(STATUS_PENDING), std::memory_order_release);
        if (event) event->Reset();
    }

    std::shared_ptr<Outcome> outcome;
    try {
        outcome = std::make_shared<Outcome>();
    } catch (...) {
        return FailWithStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    file->BeginIo();
    km::io::Completion done = [file, overlapped, event, outcome](NTSTATUS status, ULONG_PTR information) {
        const auto publish = [overlapped, status, information] {
            if (overlapped == nullptr) return;
            std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(information, std::memory_order_relaxed);
            // Release: whoever sees Internal leave STATUS_PENDING sees the
            // count and the data. The caller may reuse the OVERLAPPED from
            // here on, so it is not touched again.
            std::atomic_ref<ULONG_PTR>(overlapped->Internal)
                .store(static_cast<ULONG>(status), std::memory_order_release);
        };
        // The outcome and the event's signal in one step: a caller that
        // reuses both for its next request never sees this set late.
        if (event) {
            event->SetAfter(publish);
        } else {
            publish();
        }
        file->EndIo();
        {
            std::lock_guard guard(outcome->lock);
            outcome->status = status;
            outcome->information = information;
            outcome->done = true;
        }
        outcome->ended.notify_all();
    };

    const NTSTATUS issued = start(file->Io(), std::move(done));
    if (file->Overlapped() && issued == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // A synchronous handle, or a request that ended before its dispatch
    // returned; its completion may still be on its way on another thread.
    std::unique_lock guard(outcome->lock);
    outcome->ended.wait(guard, [&] { return outcome->done; });
    return Answer(outcome->status, outcome->information, transferred);
}

}  // namespace um::dev
