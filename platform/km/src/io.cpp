// Requests, queues and file objects: the I/O manager and the framework's
// request handling.
#include "fault.hpp"
#include "framework.hpp"
#include "pnp_internal.hpp"

#include <algorithm>
#include <cstring>
#include <future>

namespace km {

// ------------------------------------------------------------------------
// Request

void Request::Complete(NTSTATUS status, ULONG_PTR info) {
    if (completed_.exchange(true, std::memory_order_acq_rel)) {
        ReportDriverFault("request %p (type 0x%x) completed a second time with status 0x%08X", Handle(),
                          static_cast<unsigned>(type), static_cast<unsigned>(status));
        return;
    }
    std::shared_ptr<Request> self = std::static_pointer_cast<Request>(shared_from_this());
    // From here on the driver's handle names nothing: a later use is caught.
    ForgetHandle(Handle());
    cancelState.store(NotCancelable, std::memory_order_release);

    // What the caller gets back: never more than its buffer holds.
    size_t limit = 0;
    switch (type) {
    case WdfRequestTypeRead:
    case WdfRequestTypeDeviceControl:
        limit = outputLength;
        break;
    case WdfRequestTypeWrite:
        limit = inputLength;
        break;
    default:
        break;
    }
    ULONG_PTR reported = std::min<ULONG_PTR>(info, limit);
    if (type == WdfRequestTypeCreate) reported = info;
    if (NT_ERROR(status)) reported = 0;
    // Buffered output goes back for success and warning statuses alike, so
    // STATUS_BUFFER_OVERFLOW delivers its partial answer.
    if (systemBuffer && output != nullptr && reported > 0 &&
        (type == WdfRequestTypeDeviceControl || type == WdfRequestTypeRead)) {
        std::memcpy(output, systemBuffer.get(), reported);
    }
    information.store(reported, std::memory_order_relaxed);
    finalStatus.store(status, std::memory_order_release);

    io::Completion callback = std::move(done);
    Queue* owner = queue.exchange(nullptr, std::memory_order_acq_rel);
    if (callback) callback(status, reported);
    if (owner) owner->Released(*this);
    if (file) file->Untrack(this);
}

void Request::Cancel() {
    cancelRequested.store(true, std::memory_order_seq_cst);
    Queue* holder = queue.load(std::memory_order_acquire);
    if (holder && holder->RemoveWaiting(*this)) return;
    int expected = Cancelable;
    if (cancelState.compare_exchange_strong(expected, CancelRunning, std::memory_order_seq_cst)) {
        PFN_WDF_REQUEST_CANCEL routine = cancelRoutine.load(std::memory_order_acquire);
        routine(static_cast<WDFREQUEST>(Handle()));
    }
}

// ------------------------------------------------------------------------
// Queue

NTSTATUS Queue::Accept(const std::shared_ptr<Request>& request) {
    bool zeroLength = (request->type == WdfRequestTypeRead && request->outputLength == 0) ||
                      (request->type == WdfRequestTypeWrite && request->inputLength == 0);
    {
        std::lock_guard guard(lock_);
        if (!accepting_) return STATUS_CANCELLED;
        if (!(zeroLength && !config.AllowZeroLengthRequests)) {
            request->queue.store(this, std::memory_order_release);
            request->waiting = true;
            waiting_.push_back(request);
            zeroLength = false;
        }
    }
    if (zeroLength) {
        // The framework answers empty reads and writes itself.
        request->Complete(STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    // A request cancelled before it got here (CancelIo while the driver
    // still held it) is cancelled on arrival, as the IRP's cancel flag is.
    if (request->cancelRequested.load(std::memory_order_seq_cst)) RemoveWaiting(*request);
    if (config.DispatchType != WdfIoQueueDispatchManual) Pump();
    return STATUS_SUCCESS;
}

void Queue::Present(const std::shared_ptr<Request>& request) {
    NTSTATUS status = Accept(request);
    if (!NT_SUCCESS(status)) request->Complete(status, 0);
}

void Queue::Pump() {
    const bool sequential = config.DispatchType == WdfIoQueueDispatchSequential;
    std::unique_lock guard(lock_);
    if (sequential) {
        // One thread delivers at a time; it also picks up what a completion
        // on another thread made deliverable.
        if (pumping_) return;
        pumping_ = true;
    }
    while (powered_ && !waiting_.empty() && (!sequential || delivered_ == 0)) {
        std::shared_ptr<Request> request = std::move(waiting_.front());
        waiting_.pop_front();
        request->waiting = false;
        ++delivered_;
        guard.unlock();
        Deliver(request);
        guard.lock();
    }
    if (sequential) pumping_ = false;
}

void Queue::Deliver(const std::shared_ptr<Request>& request) {
    auto queue = static_cast<WDFQUEUE>(Handle());
    auto handle = static_cast<WDFREQUEST>(request->Handle());
    switch (request->type) {
    case WdfRequestTypeRead:
        if (config.EvtIoRead) return config.EvtIoRead(queue, handle, request->outputLength);
        break;
    case WdfRequestTypeWrite:
        if (config.EvtIoWrite) return config.EvtIoWrite(queue, handle, request->inputLength);
        break;
    case WdfRequestTypeDeviceControl:
        if (config.EvtIoDeviceControl) {
            return config.EvtIoDeviceControl(queue, handle, request->outputLength, request->inputLength,
                                             request->ioControlCode);
        }
        break;
    default:
        break;
    }
    if (config.EvtIoDefault) return config.EvtIoDefault(queue, handle);
    request->Complete(STATUS_INVALID_DEVICE_REQUEST, 0);
}

void Queue::Released(Request&) {
    {
        std::lock_guard guard(lock_);
        --delivered_;
        if (delivered_ == 0) idle_.notify_all();
    }
    if (config.DispatchType != WdfIoQueueDispatchManual) Pump();
}

std::shared_ptr<Request> Queue::Retrieve(const File* file) {
    std::lock_guard guard(lock_);
    if (!powered_) return nullptr;
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (file == nullptr || (*it)->file.get() == file) {
            std::shared_ptr<Request> request = std::move(*it);
            waiting_.erase(it);
            request->waiting = false;
            ++delivered_;
            return request;
        }
    }
    return nullptr;
}

bool Queue::RemoveWaiting(Request& request) {
    std::shared_ptr<Request> found;
    {
        std::lock_guard guard(lock_);
        if (!request.waiting) return false;
        auto it = std::find_if(waiting_.begin(), waiting_.end(),
                               [&](const std::shared_ptr<Request>& r) { return r.get() == &request; });
        if (it == waiting_.end()) return false;
        found = std::move(*it);
        waiting_.erase(it);
        found->waiting = false;
    }
    CancelOnQueue(found);
    return true;
}

void Queue::CancelOnQueue(const std::shared_ptr<Request>& request) {
    if (config.EvtIoCanceledOnQueue) {
        // The driver asked to see its cancelled requests; it completes them.
        {
            std::lock_guard guard(lock_);
            ++delivered_;
        }
        config.EvtIoCanceledOnQueue(static_cast<WDFQUEUE>(Handle()), static_cast<WDFREQUEST>(request->Handle()));
        return;
    }
    request->queue.store(nullptr, std::memory_order_release);
    request->Complete(STATUS_CANCELLED, 0);
}

void Queue::CancelFile(const File& file) {
    std::vector<std::shared_ptr<Request>> mine;
    {
        std::lock_guard guard(lock_);
        for (const auto& request : waiting_) {
            if (request->file.get() == &file) mine.push_back(request);
        }
    }
    for (const auto& request : mine) RemoveWaiting(*request);
}

void Queue::Purge() {
    std::deque<std::shared_ptr<Request>> cancelled;
    {
        std::lock_guard guard(lock_);
        accepting_ = false;
        cancelled.swap(waiting_);
        for (auto& request : cancelled) request->waiting = false;
    }
    for (const auto& request : cancelled) CancelOnQueue(request);
    std::unique_lock guard(lock_);
    idle_.wait(guard, [&] { return delivered_ == 0; });
}

void Queue::Start() {
    {
        std::lock_guard guard(lock_);
        accepting_ = true;
    }
    if (config.DispatchType != WdfIoQueueDispatchManual) Pump();
}

void Queue::SetPowered(bool powered) {
    {
        std::lock_guard guard(lock_);
        powered_ = powered || !powerManaged;
    }
    if (powered && config.DispatchType != WdfIoQueueDispatchManual) Pump();
}

void Queue::OnDispose() noexcept {
    std::deque<std::shared_ptr<Request>> cancelled;
    {
        std::lock_guard guard(lock_);
        accepting_ = false;
        cancelled.swap(waiting_);
        for (auto& request : cancelled) request->waiting = false;
    }
    for (const auto& request : cancelled) {
        request->queue.store(nullptr, std::memory_order_release);
        request->Complete(STATUS_CANCELLED, 0);
    }
}

// ------------------------------------------------------------------------
// File

bool File::Track(const std::shared_ptr<Request>& request) {
    std::lock_guard guard(lock_);
    if (ended_.load(std::memory_order_relaxed) || closeRequested_) return false;
    outstanding_.push_back(request);
    return true;
}

void File::Untrack(Request* request) {
    bool closeNow = false;
    {
        std::lock_guard guard(lock_);
        auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                               [&](const std::shared_ptr<Request>& r) { return r.get() == request; });
        if (it == outstanding_.end()) return;
        outstanding_.erase(it);
        if (!outstanding_.empty()) return;
        drained_.notify_all();
        if (closeRequested_ && !closed_) {
            closed_ = true;
            closeNow = true;
        }
    }
    if (closeNow) FinishClose();
}

std::vector<std::shared_ptr<Request>> File::Outstanding() {
    std::lock_guard guard(lock_);
    return outstanding_;
}

void File::CancelAll() {
    for (const auto& request : Outstanding()) request->Cancel();
}

void File::RunCleanup() {
    {
        std::lock_guard guard(lock_);
        if (cleanedUp_) return;
        cleanedUp_ = true;
    }
    CancelAll();
    if (device->fileConfig.EvtFileCleanup) device->fileConfig.EvtFileCleanup(static_cast<WDFFILEOBJECT>(Handle()));
}

void File::RequestClose() {
    RunCleanup();
    bool closeNow = false;
    {
        std::lock_guard guard(lock_);
        if (closeRequested_) return;
        closeRequested_ = true;
        if (outstanding_.empty() && !closed_) {
            closed_ = true;
            closeNow = true;
        }
    }
    if (closeNow) FinishClose();
}

void File::End() {
    {
        std::lock_guard guard(lock_);
        ended_.store(true, std::memory_order_release);
    }
    RunCleanup();
    {
        // Close comes only after every request of the file completed, as
        // Windows guarantees; the driver completes what it holds.
        std::unique_lock guard(lock_);
        drained_.wait(guard, [&] { return outstanding_.empty(); });
    }
    RequestClose();
}

void File::FinishClose() {
    std::shared_ptr<Object> self = shared_from_this();
    if (device->fileConfig.EvtFileClose) device->fileConfig.EvtFileClose(static_cast<WDFFILEOBJECT>(Handle()));
    {
        std::lock_guard guard(device->lock);
        std::erase_if(device->files, [&](const std::weak_ptr<File>& f) {
            auto alive = f.lock();
            return !alive || alive.get() == this;
        });
    }
    Object::Delete(self);
}

// ------------------------------------------------------------------------
// The I/O manager's boundary

namespace {

// Takes the completion only when the request exists: on failure the caller
// still holds it and must answer its caller through it (NoRequest).
std::shared_ptr<Request> NewRequest(const io::FileHandle& file, WDF_REQUEST_TYPE type, io::Completion& done) {
    auto request = std::make_shared<Request>();
    request->type = type;
    request->file = file;
    request->device = file->device;
    NTSTATUS status = Object::Insert(request, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return nullptr;
    request->done = std::move(done);
    return request;
}

void DescribeUserBuffer(Request& request, void* buffer, size_t length) {
    // Direct I/O: the driver reaches the caller's pages through the MDL's
    // system address; it never gets memory of its own mapped to the caller.
    request.hasMdl = length > 0;
    if (!request.hasMdl) return;
    auto address = reinterpret_cast<uintptr_t>(buffer);
    request.mdl.StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t{0xFFF});
    request.mdl.ByteOffset = static_cast<ULONG>(address & 0xFFF);
    request.mdl.ByteCount = static_cast<ULONG>(length);
    request.mdl.MappedSystemVa = buffer;
    request.mdl.MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
    request.mdl.Size = sizeof(MDL);
}

NTSTATUS Submit(const io::FileHandle& file, const std::shared_ptr<Request>& request) {
    if (!file->Track(request)) {
        request->Complete(file->ended() ? STATUS_DEVICE_REMOVED : STATUS_FILE_CLOSED, 0);
        return request->finalStatus.load(std::memory_order_acquire);
    }
    Device& device = *file->device;
    if (device.inCallerContext) {
        device.inCallerContext(static_cast<WDFDEVICE>(device.Handle()), static_cast<WDFREQUEST>(request->Handle()));
    } else {
        device.Enqueue(request);
    }
    return request->finalStatus.load(std::memory_order_acquire);
}

NTSTATUS NoRequest(io::Completion& done) {
    if (done) done(STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

namespace io {

NTSTATUS Open(std::string_view path, FileHandle* result) {
    *result = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    OpenGate gate = OpenDeviceByInterface(path, &status);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<Device> device = gate.device;

    auto file = std::make_shared<File>();
    file->device = device;
    status = Object::Insert(file, device, device->hasFileAttributes ? &device->fileAttributes : nullptr);
    if (!NT_SUCCESS(status)) return status;

    if (device->fileConfig.EvtDeviceFileCreate) {
        std::promise<NTSTATUS> answer;
        std::future<NTSTATUS> created = answer.get_future();
        io::Completion created_done = [&answer](NTSTATUS s, ULONG_PTR) { answer.set_value(s); };
        std::shared_ptr<Request> request = NewRequest(file, WdfRequestTypeCreate, created_done);
        if (!request) {
            Object::Delete(file);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        device->fileConfig.EvtDeviceFileCreate(static_cast<WDFDEVICE>(device->Handle()),
                                               static_cast<WDFREQUEST>(request->Handle()),
                                               static_cast<WDFFILEOBJECT>(file->Handle()));
        status = created.get();
    }
    if (!NT_SUCCESS(status)) {
        // A failed create leaves no file behind: no cleanup, no close.
        Object::Delete(file);
        return status;
    }
    {
        std::lock_guard guard(device->lock);
        device->files.push_back(file);
    }
    *result = std::move(file);
    return STATUS_SUCCESS;
}

void Cleanup(const FileHandle& file) {
    if (file) file->RunCleanup();
}

void Close(const FileHandle& file) {
    if (file) file->RequestClose();
}

void Cancel(const FileHandle& file) {
    if (file) file->CancelAll();
}

bool Ended(const FileHandle& file) { return file && file->ended(); }

NTSTATUS Read(const FileHandle& file, void* buffer, ULONG length, Completion done) {
    std::shared_ptr<Request> request = NewRequest(file, WdfRequestTypeRead, done);
    if (!request) return NoRequest(done);
    request->output = buffer;
    request->outputLength = length;
    if (file->device->ioType == WdfDeviceIoDirect) {
        DescribeUserBuffer(*request, buffer, length);
    } else if (length > 0) {
        request->systemBuffer.reset(new (std::nothrow) std::byte[length]());
        if (!request->systemBuffer) {
            request->Complete(STATUS_INSUFFICIENT_RESOURCES, 0);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return Submit(file, request);
}

NTSTATUS Write(const FileHandle& file, const void* buffer, ULONG length, Completion done) {
    std::shared_ptr<Request> request = NewRequest(file, WdfRequestTypeWrite, done);
    if (!request) return NoRequest(done);
    request->input = buffer;
    request->inputLength = length;
    if (file->device->ioType == WdfDeviceIoDirect) {
        DescribeUserBuffer(*request, const_cast<void*>(buffer), length);
    } else if (length > 0) {
        request->systemBuffer.reset(new (std::nothrow) std::byte[length]);
        if (!request->systemBuffer) {
            request->Complete(STATUS_INSUFFICIENT_RESOURCES, 0);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(request->systemBuffer.get(), buffer, length);
    }
    return Submit(file, request);
}

NTSTATUS DeviceControl(const FileHandle& file, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, Completion done) {
    std::shared_ptr<Request> request = NewRequest(file, WdfRequestTypeDeviceControl, done);
    if (!request) return NoRequest(done);
    request->ioControlCode = code;
    request->input = input;
    request->inputLength = input ? inputLength : 0;
    request->output = output;
    request->outputLength = output ? outputLength : 0;
    // Every control code travels METHOD_BUFFERED: one system buffer for both
    // directions, the input copied in first.
    size_t size = std::max<size_t>({request->inputLength, request->outputLength, 1});
    request->systemBuffer.reset(new (std::nothrow) std::byte[size]());
    if (!request->systemBuffer) {
        request->Complete(STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (request->inputLength) std::memcpy(request->systemBuffer.get(), input, request->inputLength);
    return Submit(file, request);
}

}  // namespace io
}  // namespace km

// ------------------------------------------------------------------------
// WdfRequest*

using km::Lookup;
using km::Request;

extern "C" VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    auto request = km::LookupObject(Request);
    auto typed = std::dynamic_pointer_cast<km::Request>(request);
    if (!typed) {
        km::ReportDriverFault("WdfRequestComplete: request %p was already completed or never existed", Request);
        return;
    }
    typed->Complete(Status, Information);
}

extern "C" VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    auto typed = std::dynamic_pointer_cast<km::Request>(km::LookupObject(Request));
    if (!typed) {
        km::ReportDriverFault("WdfRequestComplete: request %p was already completed or never existed", Request);
        return;
    }
    typed->Complete(Status, typed->information.load(std::memory_order_relaxed));
}

extern "C" VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    if (auto r = Lookup<km::Request>(Request, "WdfRequestSetInformation")) {
        r->information.store(Information, std::memory_order_relaxed);
    }
}

extern "C" ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    auto r = Lookup<km::Request>(Request, "WdfRequestGetInformation");
    return r ? r->information.load(std::memory_order_relaxed) : 0;
}

extern "C" VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    auto r = Lookup<km::Request>(Request, "WdfRequestGetParameters");
    if (!r || Parameters == nullptr) return;
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    Parameters->Type = r->type;
    switch (r->type) {
    case WdfRequestTypeRead:
        Parameters->Parameters.Read.Length = r->outputLength;
        break;
    case WdfRequestTypeWrite:
        Parameters->Parameters.Write.Length = r->inputLength;
        break;
    case WdfRequestTypeDeviceControl:
        Parameters->Parameters.DeviceIoControl.OutputBufferLength = r->outputLength;
        Parameters->Parameters.DeviceIoControl.InputBufferLength = r->inputLength;
        Parameters->Parameters.DeviceIoControl.IoControlCode = r->ioControlCode;
        break;
    default:
        break;
    }
}

extern "C" WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
    auto r = Lookup<km::Request>(Request, "WdfRequestGetFileObject");
    return r && r->file ? static_cast<WDFFILEOBJECT>(r->file->Handle()) : nullptr;
}

extern "C" WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request) {
    auto r = Lookup<km::Request>(Request, "WdfRequestGetIoQueue");
    if (!r) return nullptr;
    km::Queue* queue = r->queue.load(std::memory_order_acquire);
    return queue ? static_cast<WDFQUEUE>(queue->Handle()) : nullptr;
}

extern "C" KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request) {
    (void)Request;
    return UserMode;
}

extern "C" BOOLEAN WdfRequestIsFrom32BitProcess(WDFREQUEST Request) {
    (void)Request;
    return FALSE;  // every process of this machine is 64-bit
}

namespace {

NTSTATUS RetrieveBuffer(WDFREQUEST handle, bool input, size_t minimum, PVOID* buffer, size_t* length,
                        const char* caller) {
    if (buffer) *buffer = nullptr;
    if (length) *length = 0;
    auto r = Lookup<km::Request>(handle, caller);
    if (!r) return STATUS_INVALID_HANDLE;
    size_t size = 0;
    PVOID address = nullptr;
    switch (r->type) {
    case WdfRequestTypeDeviceControl:
        size = input ? r->inputLength : r->outputLength;
        address = r->systemBuffer.get();
        break;
    case WdfRequestTypeRead:
        if (input) return STATUS_INVALID_DEVICE_REQUEST;
        size = r->outputLength;
        address = r->hasMdl ? r->mdl.MappedSystemVa : r->systemBuffer.get();
        break;
    case WdfRequestTypeWrite:
        if (!input) return STATUS_INVALID_DEVICE_REQUEST;
        size = r->inputLength;
        address = r->hasMdl ? r->mdl.MappedSystemVa : r->systemBuffer.get();
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (size == 0 || size < minimum) return STATUS_BUFFER_TOO_SMALL;
    if (buffer) *buffer = address;
    if (length) *length = size;
    return STATUS_SUCCESS;
}

NTSTATUS RetrieveMdl(WDFREQUEST handle, WDF_REQUEST_TYPE expected, PMDL* mdl, const char* caller) {
    *mdl = nullptr;
    auto r = Lookup<km::Request>(handle, caller);
    if (!r) return STATUS_INVALID_HANDLE;
    if (r->type != expected || (!r->hasMdl && r->systemBuffer)) return STATUS_INVALID_DEVICE_REQUEST;
    if (!r->hasMdl) return STATUS_BUFFER_TOO_SMALL;
    *mdl = &r->mdl;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                                  size_t* Length) {
    return RetrieveBuffer(Request, true, MinimumRequiredLength, Buffer, Length, "WdfRequestRetrieveInputBuffer");
}

extern "C" NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                                   size_t* Length) {
    return RetrieveBuffer(Request, false, MinimumRequiredSize, Buffer, Length, "WdfRequestRetrieveOutputBuffer");
}

extern "C" NTSTATUS WdfRequestRetrieveInputWdmMdl(WDFREQUEST Request, PMDL* Mdl) {
    return RetrieveMdl(Request, WdfRequestTypeWrite, Mdl, "WdfRequestRetrieveInputWdmMdl");
}

extern "C" NTSTATUS WdfRequestRetrieveOutputWdmMdl(WDFREQUEST Request, PMDL* Mdl) {
    return RetrieveMdl(Request, WdfRequestTypeRead, Mdl, "WdfRequestRetrieveOutputWdmMdl");
}

extern "C" NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue) {
    auto r = Lookup<km::Request>(Request, "WdfRequestForwardToIoQueue");
    auto target = Lookup<km::Queue>(DestinationQueue, "WdfRequestForwardToIoQueue");
    if (!r || !target) return STATUS_INVALID_HANDLE;
    km::Queue* source = r->queue.load(std::memory_order_acquire);
    if (source == nullptr || source == target.get()) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = target->Accept(r);
    if (NT_SUCCESS(status)) source->Released(*r);
    return status;
}

extern "C" NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    auto r = Lookup<km::Request>(Request, "WdfRequestMarkCancelableEx");
    if (!r || EvtRequestCancel == nullptr) return STATUS_INVALID_PARAMETER;
    if (r->cancelRequested.load(std::memory_order_seq_cst)) return STATUS_CANCELLED;
    r->cancelRoutine.store(EvtRequestCancel, std::memory_order_release);
    r->cancelState.store(km::Request::Cancelable, std::memory_order_seq_cst);
    // A cancel that raced with the marking: whoever takes the state first
    // owns the request (the cancel routine, or the caller who gets CANCELLED).
    if (r->cancelRequested.load(std::memory_order_seq_cst)) {
        int expected = km::Request::Cancelable;
        if (r->cancelState.compare_exchange_strong(expected, km::Request::NotCancelable)) return STATUS_CANCELLED;
    }
    return STATUS_SUCCESS;
}

extern "C" VOID WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    // The old form calls the cancel routine at once for a cancelled request.
    if (WdfRequestMarkCancelableEx(Request, EvtRequestCancel) == STATUS_CANCELLED) EvtRequestCancel(Request);
}

extern "C" NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request) {
    auto r = Lookup<km::Request>(Request, "WdfRequestUnmarkCancelable");
    if (!r) return STATUS_INVALID_HANDLE;
    int expected = km::Request::Cancelable;
    if (r->cancelState.compare_exchange_strong(expected, km::Request::NotCancelable)) return STATUS_SUCCESS;
    return expected == km::Request::CancelRunning ? STATUS_CANCELLED : STATUS_INVALID_DEVICE_REQUEST;
}

extern "C" BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request) {
    auto r = Lookup<km::Request>(Request, "WdfRequestIsCanceled");
    return r && r->cancelRequested.load(std::memory_order_seq_cst) ? TRUE : FALSE;
}

// ------------------------------------------------------------------------
// WdfIoQueue*

extern "C" NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                     PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    if (Queue) *Queue = nullptr;
    auto device = Lookup<km::Device>(Device, "WdfIoQueueCreate");
    if (!device) return STATUS_INVALID_HANDLE;
    if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    auto queue = std::make_shared<km::Queue>();
    queue->device = device;
    queue->config = *Config;
    queue->powerManaged = Config->PowerManaged != WdfFalse;
    {
        std::lock_guard guard(device->lock);
        if (Config->DefaultQueue && device->defaultQueue.lock()) return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = km::Object::Insert(queue, device, QueueAttributes);
    if (!NT_SUCCESS(status)) return status;
    queue->SetPowered(device->d0.load(std::memory_order_acquire));
    {
        std::lock_guard guard(device->lock);
        device->queues.push_back(queue);
        if (Config->DefaultQueue) device->defaultQueue = queue;
    }
    if (Queue) *Queue = static_cast<WDFQUEUE>(queue->Handle());
    return STATUS_SUCCESS;
}

extern "C" WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    auto queue = Lookup<km::Queue>(Queue, "WdfIoQueueGetDevice");
    if (!queue) return nullptr;
    auto device = queue->device.lock();
    return device ? static_cast<WDFDEVICE>(device->Handle()) : nullptr;
}

namespace {

NTSTATUS RetrieveFromQueue(WDFQUEUE handle, WDFFILEOBJECT fileHandle, WDFREQUEST* out, const char* caller) {
    if (out) *out = nullptr;
    auto queue = Lookup<km::Queue>(handle, caller);
    if (!queue) return STATUS_INVALID_HANDLE;
    std::shared_ptr<km::File> file;
    if (fileHandle != nullptr) {
        file = Lookup<km::File>(fileHandle, caller);
        if (!file) return STATUS_INVALID_HANDLE;
    }
    if (queue->config.DispatchType != WdfIoQueueDispatchManual) return STATUS_INVALID_DEVICE_REQUEST;
    std::shared_ptr<km::Request> request = queue->Retrieve(file.get());
    if (!request) return STATUS_NO_MORE_ENTRIES;
    if (out) *out = static_cast<WDFREQUEST>(request->Handle());
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest) {
    return RetrieveFromQueue(Queue, nullptr, OutRequest, "WdfIoQueueRetrieveNextRequest");
}

extern "C" NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE Queue, WDFFILEOBJECT FileObject,
                                                          WDFREQUEST* OutRequest) {
    if (FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    return RetrieveFromQueue(Queue, FileObject, OutRequest, "WdfIoQueueRetrieveRequestByFileObject");
}

extern "C" VOID WdfIoQueueStart(WDFQUEUE Queue) {
    if (auto queue = Lookup<km::Queue>(Queue, "WdfIoQueueStart")) queue->Start();
}

extern "C" VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue) {
    if (auto queue = Lookup<km::Queue>(Queue, "WdfIoQueueStopSynchronously")) queue->SetPowered(false);
}

extern "C" VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue) {
    if (auto queue = Lookup<km::Queue>(Queue, "WdfIoQueuePurgeSynchronously")) queue->Purge();
}

extern "C" WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    auto file = Lookup<km::File>(FileObject, "WdfFileObjectGetDevice");
    return file ? static_cast<WDFDEVICE>(file->device->Handle()) : nullptr;
}
