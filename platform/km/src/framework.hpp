// The framework's objects behind the WDF handles: driver, device, queue,
// request and file object.
#pragma once

#include <km/io.hpp>

#include "object.hpp"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace km {

class DeviceNode;
class DriverImage;
class Queue;
class Request;
class Interrupt;

class Driver final : public Object {
public:
    Driver() noexcept : Object(ObjectKind::Driver) {}

    WDF_DRIVER_CONFIG config{};
    DriverImage* image = nullptr;
    PDRIVER_OBJECT wdm = nullptr;
    std::u16string registryPath;  // with its terminator, for WdfDriverGetRegistryPath
};

class Device final : public Object {
public:
    Device() noexcept : Object(ObjectKind::Device) {}

    std::shared_ptr<Driver> driver;
    DeviceNode* node = nullptr;  // outlives the device
    DEVICE_OBJECT wdm{};         // the functional device object

    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    PFN_WDF_IO_IN_CALLER_CONTEXT inCallerContext = nullptr;
    std::atomic<bool> d0{false};  // power-managed queues deliver only in D0

    // Hands a request to the queue configured for its type (or the default
    // queue); completes it with STATUS_INVALID_DEVICE_REQUEST when none.
    void Enqueue(const std::shared_ptr<Request>& request);
    NTSTATUS TryEnqueue(const std::shared_ptr<Request>& request);

    std::vector<std::shared_ptr<Queue>> Queues();
    std::vector<std::shared_ptr<Interrupt>> Interrupts();
    std::vector<std::shared_ptr<File>> OpenFiles();

    std::mutex lock;
    std::map<int, std::weak_ptr<Queue>> dispatch;  // WDF_REQUEST_TYPE -> queue
    std::weak_ptr<Queue> defaultQueue;
    std::vector<std::weak_ptr<Queue>> queues;
    std::vector<std::weak_ptr<Interrupt>> interrupts;
    std::vector<std::weak_ptr<File>> files;
    std::vector<std::pair<GUID, std::string>> interfaces;  // class, reference string
};

class File final : public Object {
public:
    File() noexcept : Object(ObjectKind::File) {}

    std::shared_ptr<Device> device;

    // Requests issued on the file and not completed yet.
    // False once the file is closing or ended: the request is refused.
    bool Track(const std::shared_ptr<Request>& request);
    void Untrack(Request* request);
    std::vector<std::shared_ptr<Request>> Outstanding();
    void CancelAll();

    // Cleanup, close and the end of the file by a removal; each runs once.
    void RunCleanup();
    void RequestClose();
    void End();  // removal: cancel, cleanup, wait for requests, close

    bool ended() const noexcept { return ended_.load(std::memory_order_acquire); }

private:
    void FinishClose();

    std::mutex lock_;
    std::condition_variable drained_;
    std::vector<std::shared_ptr<Request>> outstanding_;
    bool cleanedUp_ = false;
    bool closeRequested_ = false;
    bool closed_ = false;
    std::atomic<bool> ended_{false};
};

class Request final : public Object {
public:
    Request() noexcept : Object(ObjectKind::Request) {}

    WDF_REQUEST_TYPE type = WdfRequestTypeCreate;
    std::shared_ptr<File> file;
    std::shared_ptr<Device> device;

    // The caller's view.
    const void* input = nullptr;
    size_t inputLength = 0;
    void* output = nullptr;
    size_t outputLength = 0;
    ULONG ioControlCode = 0;
    io::Completion done;

    // The driver's view: METHOD_BUFFERED system buffer or the direct-I/O MDL.
    std::unique_ptr<std::byte[]> systemBuffer;
    MDL mdl{};
    bool hasMdl = false;

    std::atomic<ULONG_PTR> information{0};
    std::atomic<NTSTATUS> finalStatus{STATUS_PENDING};

    // The queue holding the request (waiting in it, or delivered from it to
    // the driver); changed under that queue's lock.
    std::atomic<Queue*> queue{nullptr};
    // In a queue's waiting list. Written under that queue's lock; atomic
    // because a cancel may look at it under the lock of the queue the
    // request just left.
    std::atomic<bool> waiting{false};

    // Cancellation of a request the driver marked cancelable.
    enum CancelState : int { NotCancelable, Cancelable, CancelRunning };
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> cancelState{NotCancelable};
    std::atomic<PFN_WDF_REQUEST_CANCEL> cancelRoutine{nullptr};

    // Completes the request: exactly once; a second completion is a fault.
    void Complete(NTSTATUS status, ULONG_PTR info);
    // CancelIo / cleanup / purge reached the request.
    void Cancel();

    bool completed() const noexcept { return completed_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> completed_{false};
};

class Queue final : public Object {
public:
    Queue() noexcept : Object(ObjectKind::Queue) {}

    std::weak_ptr<Device> device;
    WDF_IO_QUEUE_CONFIG config{};
    bool powerManaged = true;

    // A request arrives (from the device's dispatching or a forward). Accept
    // leaves a refused request to the caller; Present completes it.
    NTSTATUS Accept(const std::shared_ptr<Request>& request);
    void Present(const std::shared_ptr<Request>& request);
    // A request the queue handed to the driver completed or left the queue.
    void Released(Request& request);
    // Manual queues: the oldest waiting request (of `file`, when given).
    std::shared_ptr<Request> Retrieve(const File* file);
    // Cancellation of a waiting request: true when it was found and removed.
    bool RemoveWaiting(Request& request);
    // Requests of `file` still waiting: cancelled.
    void CancelFile(const File& file);

    // Removal: cancel what waits, refuse what comes, wait for delivered ones.
    void Purge();
    void Start();
    // Power-managed queues deliver only while their device is in D0.
    void SetPowered(bool powered);

protected:
    void OnDispose() noexcept override;

private:
    void Pump();
    void Deliver(const std::shared_ptr<Request>& request);
    void CancelOnQueue(const std::shared_ptr<Request>& request);

    std::mutex lock_;
    std::condition_variable idle_;
    std::deque<std::shared_ptr<Request>> waiting_;
    size_t delivered_ = 0;
    bool pumping_ = false;
    bool accepting_ = true;
    bool powered_ = false;
};

// The driver image a WDFDRIVER belongs to.
struct DriverImageAccess {
    static std::shared_ptr<Driver> FrameworkDriver(const DriverImage& image);
};

}  // namespace km

// The framework's device-initialisation record, filled by the driver's
// device add and consumed by WdfDeviceCreate.
struct WDFDEVICE_INIT {
    km::DeviceNode* node = nullptr;
    std::shared_ptr<km::Driver> driver;
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    PFN_WDF_IO_IN_CALLER_CONTEXT inCallerContext = nullptr;
    std::shared_ptr<km::Device> created;  // set by WdfDeviceCreate
};
