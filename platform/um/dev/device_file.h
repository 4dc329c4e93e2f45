// A handle opened on a device: a file object of the I/O manager (of this
// process's machine or of the host's), reached through the shared handle
// table like every other handle.
#pragma once

#include <windows.h>

#include <um/device_backend.h>
#include <nt/dispatcher.h>

#include <functional>

namespace um::dev {

// Waitable as a Windows file object is: cleared when a request starts on it,
// set when one ends (GetOverlappedResult waits on it when an OVERLAPPED
// carries no event).
//
// The I/O manager's cleanup runs when the last handle closes (the file's
// pending requests are cancelled), its close when the last reference goes,
// which requests in flight hold until they complete.
class DeviceFile final : public nt::DispatcherObject {
public:
    DeviceFile(std::shared_ptr<BackendFile> file, DWORD access, bool overlapped) noexcept;

    BackendFile& Io() const noexcept { return *file_; }
    bool Overlapped() const noexcept { return overlapped_; }
    bool CanRead() const noexcept;
    bool CanWrite() const noexcept;

    void BeginIo() noexcept;
    void EndIo() noexcept;

protected:
    ~DeviceFile() override;
    void OnLastHandleClosed() noexcept override;
    bool IsSignaledLocked() const noexcept override;

private:
    const std::shared_ptr<BackendFile> file_;
    const DWORD access_;
    const bool overlapped_;
    bool signaled_ = true;  // guarded by the dispatcher lock
};

// The device file behind `handle`, or null (last error set: an invalid
// handle, or ERROR_INVALID_FUNCTION for a handle that is not a device).
nt::Ref<DeviceFile> ReferenceDeviceFile(HANDLE handle) noexcept;

// Starts one request on the I/O manager with the completion it must call.
using Start = std::function<NTSTATUS(BackendFile& file, km::io::Completion done)>;

// Issues a request the Win32 way. A synchronous handle waits for the end.
// An overlapped handle needs `overlapped`: its event (low-order bit ignored)
// is reset now and set at the end, Internal/InternalHigh carry the status
// and count; a request still pending when the dispatch returned answers
// FALSE/ERROR_IO_PENDING, one that ended before answers at once.
// The answer: TRUE on success; FALSE with the status mapped to the last
// error otherwise, *transferred holding the count also for warnings
// (STATUS_BUFFER_OVERFLOW gives ERROR_MORE_DATA with the data copied).
BOOL Issue(const nt::Ref<DeviceFile>& file, LPOVERLAPPED overlapped, LPDWORD transferred,
           const Start& start) noexcept;

}  // namespace um::dev
