// The I/O manager's boundary: what user mode (CreateFileA, ReadFile,
// WriteFile, DeviceIoControl, CancelIo, CloseHandle on a device) asks of a
// device's driver. It is deliberately narrow and copies nothing but plain
// buffers, lengths, codes and statuses, so that it can later be carried over
// a socket to a machine hosted by another process.
//
// Each request completes exactly once, through its Completion, with a status
// and an information count (bytes transferred, or for device controls the
// bytes of output). A request may complete before the call that issued it
// returns; the call then returns the final status, otherwise STATUS_PENDING.
// Completions may run on any thread (the caller's, a driver thread).
//
// Buffers: reads and writes use direct I/O, device controls METHOD_BUFFERED
// (input copied into a system buffer; on completion with a success or warning
// status, Information bytes, at most the output length, are copied back, so
// STATUS_BUFFER_OVERFLOW returns data too). The caller keeps its buffers
// valid until the completion ran.
#pragma once

#include <ntdef.h>

#include <functional>
#include <memory>
#include <string_view>

namespace km {

class File;  // a file object open on a device

namespace io {

using FileHandle = std::shared_ptr<File>;
using Completion = std::function<void(NTSTATUS status, ULONG_PTR information)>;

// IRP_MJ_CREATE on the device whose interface path is `path` (as published,
// compared without regard to case). STATUS_OBJECT_NAME_NOT_FOUND for an
// unknown path, STATUS_NO_SUCH_DEVICE when the device is not started, else
// the driver's status. Blocks until the driver completed the create.
NTSTATUS Open(std::string_view path, FileHandle* file);

// IRP_MJ_CLEANUP: the last user handle went. Cancels the file's cancelable
// requests (STATUS_CANCELLED) and runs the driver's cleanup. Idempotent.
void Cleanup(const FileHandle& file);

// IRP_MJ_CLOSE: runs Cleanup if needed, then the driver's close once every
// request of the file has completed (at once, or when the last one does).
// The handle must not be used afterwards.
void Close(const FileHandle& file);

NTSTATUS Read(const FileHandle& file, void* buffer, ULONG length, Completion done);
NTSTATUS Write(const FileHandle& file, const void* buffer, ULONG length, Completion done);
NTSTATUS DeviceControl(const FileHandle& file, ULONG code, const void* input, ULONG inputLength,
                       void* output, ULONG outputLength, Completion done);

// CancelIo: cancels the file's requests that are still waiting in a queue or
// that the driver marked cancelable; each completes with STATUS_CANCELLED.
void Cancel(const FileHandle& file);

// Whether the device behind the file is gone (its handles were ended by a
// removal). Requests on such a file complete with STATUS_DEVICE_REMOVED.
bool Ended(const FileHandle& file);

// Requests of another process: a program served by a host process issues
// its requests through the host, and the handles in its buffers (the event
// of a receive-event registration) name objects of that program, not of
// this process.
//
// An event of the requesting process as the driver holds it: what the
// driver does to its reference (KeSetEvent, KeResetEvent) is passed on.
class UserEvent {
public:
    virtual ~UserEvent() = default;
    virtual void Set() noexcept = 0;
    virtual void Reset() noexcept = 0;
};

class Requestor {
public:
    virtual ~Requestor() = default;
    // The event the requestor's `handle` names. The answer comes without
    // asking the requestor: a handle that names no event there is one whose
    // sets go nowhere.
    virtual NTSTATUS ReferenceEvent(HANDLE handle, std::shared_ptr<UserEvent>* event) = 0;
};

// While alive, the requests this thread issues come from `requestor`: a
// user-mode ObReferenceObjectByHandle during their dispatch in the caller's
// context (EvtIoInCallerContext) resolves the handle through it, as Windows
// resolves it in the requesting process's handle table. Scopes nest.
class RequestorScope {
public:
    explicit RequestorScope(Requestor* requestor) noexcept;
    ~RequestorScope();
    RequestorScope(const RequestorScope&) = delete;
    RequestorScope& operator=(const RequestorScope&) = delete;

private:
    Requestor* previous_;
};

}  // namespace io
}  // namespace km
