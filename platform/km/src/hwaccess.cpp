// What a driver reaches the hardware through: register mappings, interrupt
// objects and DMA common buffers; plus the framework's lock objects.
#include "fault.hpp"
#include "pnp_internal.hpp"

#include <hw/bus_space.hpp>
#include <hw/pci_function.hpp>
#include <hw/pi_mutex.hpp>

#include <pthread.h>
#include <sys/mman.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <shared_mutex>
#include <string>
#include <thread>

namespace km {

// ------------------------------------------------------------------------
// Register mappings

namespace {

struct Aperture {
    uint64_t physical;
    uint64_t length;
    hw::PciFunction* function;
};

// A mapping is a reserved, inaccessible address range: a plain load or
// store through it faults at once, so only READ_REGISTER_* and
// WRITE_REGISTER_* reach the function's registers.
struct Mapping {
    uintptr_t base;
    size_t length;
    hw::PciFunction* function;
    uint32_t offset;  // of `base` within BAR0
};

struct IoSpace {
    std::shared_mutex lock;
    std::vector<Aperture> apertures;
    std::vector<Mapping> mappings;
};

IoSpace& Io() {
    static IoSpace* space = new IoSpace;
    return *space;
}

// The function and BAR0 offset behind a register address, if it is mapped.
hw::PciFunction* Decode(const volatile void* address, uint32_t* offset) {
    auto where = reinterpret_cast<uintptr_t>(address);
    IoSpace& io = Io();
    std::shared_lock guard(io.lock);
    for (const Mapping& m : io.mappings) {
        if (where >= m.base && where < m.base + m.length) {
            *offset = m.offset + static_cast<uint32_t>(where - m.base);
            return m.function;
        }
    }
    return nullptr;
}

}  // namespace

void RegisterAperture(hw::PciFunction* function) {
    IoSpace& io = Io();
    std::unique_lock guard(io.lock);
    io.apertures.push_back({function->Bar0Physical(), function->Bar0Length(), function});
}

void UnregisterAperture(hw::PciFunction* function) {
    IoSpace& io = Io();
    std::unique_lock guard(io.lock);
    std::erase_if(io.apertures, [&](const Aperture& a) { return a.function == function; });
}

// ------------------------------------------------------------------------
// Interrupts

class Interrupt final : public Object {
public:
    Interrupt() noexcept : Object(ObjectKind::Interrupt) {}

    WDF_INTERRUPT_CONFIG config{};
    std::weak_ptr<Device> device;
    std::mutex lock;  // the interrupt lock: ISR, enable, disable, synchronize

    NTSTATUS Connect(hw::PciFunction* function);
    void Disconnect();
    NTSTATUS Enable();
    void Disable();
    void QueueDpc() { dpcQueued_.store(true, std::memory_order_release); }

protected:
    void OnDispose() noexcept override { Disconnect(); }

private:
    void Prompt();
    void Run();
    WDFDEVICE DeviceHandle() const {
        auto d = device.lock();
        return d ? static_cast<WDFDEVICE>(d->Handle()) : nullptr;
    }

    hw::PciFunction* function_ = nullptr;  // set while connected
    std::thread thread_;
    std::mutex wake_;
    std::condition_variable cv_;
    bool prompted_ = false;  // guarded by wake_
    bool stop_ = false;      // guarded by wake_
    std::atomic<bool> enabled_{false};
    std::atomic<bool> dpcQueued_{false};
};

NTSTATUS Interrupt::Connect(hw::PciFunction* function) {
    if (function_ != nullptr || function == nullptr) return STATUS_SUCCESS;
    function_ = function;
    {
        std::lock_guard guard(wake_);
        stop_ = false;
        prompted_ = false;
    }
    const hw::PciLocation at = function->Location();
    // "Isr 1.0.0": the interrupt thread of the function at bus 1, device 0, function 0.
    std::string name = "Isr " + std::to_string(at.bus) + "." + std::to_string(at.device) + "." +
                       std::to_string(at.function);
    thread_ = std::thread([this, name] {
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        Run();
    });
    function->SetInterruptHandler([this](bool asserted) {
        if (asserted) Prompt();
    });
    NTSTATUS status = Enable();
    if (!NT_SUCCESS(status)) Disconnect();
    return status;
}

void Interrupt::Disconnect() {
    if (function_ == nullptr) return;
    Disable();
    // Returns only when no call of our handler runs any more.
    function_->SetInterruptHandler({});
    {
        std::lock_guard guard(wake_);
        stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    function_ = nullptr;
}

NTSTATUS Interrupt::Enable() {
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard guard(lock);
        if (config.EvtInterruptEnable) status = config.EvtInterruptEnable(static_cast<WDFINTERRUPT>(Handle()), DeviceHandle());
        if (NT_SUCCESS(status)) enabled_.store(true, std::memory_order_release);
    }
    // The line may have been asserted all along.
    if (NT_SUCCESS(status)) Prompt();
    return status;
}

void Interrupt::Disable() {
    std::lock_guard guard(lock);
    if (!enabled_.exchange(false, std::memory_order_acq_rel)) return;
    if (config.EvtInterruptDisable) config.EvtInterruptDisable(static_cast<WDFINTERRUPT>(Handle()), DeviceHandle());
}

void Interrupt::Prompt() {
    {
        std::lock_guard guard(wake_);
        prompted_ = true;
    }
    cv_.notify_one();
}

void Interrupt::Run() {
    for (;;) {
        {
            std::unique_lock guard(wake_);
            cv_.wait(guard, [&] { return prompted_ || stop_; });
            if (stop_) return;
            prompted_ = false;
        }
        // A level-triggered line: service it while it stays asserted and
        // the ISR claims it. An unclaimed line belongs to someone else.
        while (enabled_.load(std::memory_order_acquire) && function_->InterruptAsserted()) {
            BOOLEAN claimed = FALSE;
            {
                std::lock_guard guard(lock);
                if (!enabled_.load(std::memory_order_relaxed)) break;
                claimed = config.EvtInterruptIsr(static_cast<WDFINTERRUPT>(Handle()), 0);
            }
            if (dpcQueued_.exchange(false, std::memory_order_acq_rel) && config.EvtInterruptDpc) {
                config.EvtInterruptDpc(static_cast<WDFINTERRUPT>(Handle()), DeviceHandle());
            }
            if (!claimed) break;
            std::this_thread::yield();
        }
    }
}

NTSTATUS ConnectInterrupts(Device& device) {
    for (const auto& interrupt : device.Interrupts()) {
        NTSTATUS status = interrupt->Connect(device.node->function);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

void DisconnectInterrupts(Device& device) {
    for (const auto& interrupt : device.Interrupts()) interrupt->Disconnect();
}

// ------------------------------------------------------------------------
// DMA

class DmaEnabler final : public Object {
public:
    DmaEnabler() noexcept : Object(ObjectKind::DmaEnabler) {}
    WDF_DMA_ENABLER_CONFIG config{};
    hw::BusSpace* bus = nullptr;
};

class CommonBuffer final : public Object {
public:
    CommonBuffer() noexcept : Object(ObjectKind::CommonBuffer) {}
    ~CommonBuffer() override { Free(); }

    void* memory = nullptr;
    size_t length = 0;
    uint64_t logical = 0;
    hw::BusSpace* bus = nullptr;

protected:
    // The board loses its view first, then the memory goes.
    void OnDispose() noexcept override { Free(); }

private:
    void Free() noexcept {
        if (logical != 0 && bus != nullptr) bus->Unmap(logical);
        logical = 0;
        std::free(memory);
        memory = nullptr;
    }
};

// ------------------------------------------------------------------------
// Locks

class SpinLock final : public Object {
public:
    SpinLock() noexcept : Object(ObjectKind::SpinLock) {}
    // A spin lock raises its holder above every thread that could preempt
    // it; inheritance is the nearest Linux has: a real-time thread waiting
    // here lends its priority to the holder.
    hw::PiMutex mutex;
};

class Memory final : public Object {
public:
    Memory() noexcept : Object(ObjectKind::Memory) {}
    ~Memory() override { ExFreePool(buffer); }
    PVOID buffer = nullptr;
    size_t size = 0;

protected:
    void OnDispose() noexcept override {
        ExFreePool(buffer);
        buffer = nullptr;
    }
};

class WaitLock final : public Object {
public:
    WaitLock() noexcept : Object(ObjectKind::WaitLock) {}
    std::timed_mutex mutex;
};

namespace {

// Objects a driver creates without naming a parent belong to its driver.
std::shared_ptr<Object> DefaultParent(const WDF_OBJECT_ATTRIBUTES* attributes, const void* caller) {
    if (attributes && attributes->ParentObject) return LookupObject(attributes->ParentObject);
    std::shared_ptr<DriverImage> image = ImageOfAddress(caller);
    return image ? image->driver : nullptr;
}

}  // namespace

}  // namespace km

using km::Lookup;

extern "C" PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
    (void)CacheType;
    auto physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
    km::IoSpace& io = km::Io();
    hw::PciFunction* function = nullptr;
    uint32_t offset = 0;
    {
        std::shared_lock guard(io.lock);
        for (const km::Aperture& a : io.apertures) {
            if (physical >= a.physical && physical + NumberOfBytes <= a.physical + a.length) {
                function = a.function;
                offset = static_cast<uint32_t>(physical - a.physical);
            }
        }
    }
    if (function == nullptr || NumberOfBytes == 0) return nullptr;
    void* base = mmap(nullptr, NumberOfBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    std::unique_lock guard(io.lock);
    io.mappings.push_back({reinterpret_cast<uintptr_t>(base), NumberOfBytes, function, offset});
    return base;
}

extern "C" VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    km::IoSpace& io = km::Io();
    {
        std::unique_lock guard(io.lock);
        auto before = io.mappings.size();
        std::erase_if(io.mappings, [&](const km::Mapping& m) { return m.base == reinterpret_cast<uintptr_t>(BaseAddress); });
        if (io.mappings.size() == before) {
            guard.unlock();
            km::ReportDriverFault("MmUnmapIoSpace: %p is not a mapping", BaseAddress);
            return;
        }
    }
    munmap(BaseAddress, NumberOfBytes);
}

extern "C" ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
    uint32_t offset = 0;
    if (hw::PciFunction* function = km::Decode(Register, &offset)) return function->ReadRegister(offset);
    return *Register;
}

extern "C" VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
    uint32_t offset = 0;
    if (hw::PciFunction* function = km::Decode(Register, &offset)) return function->WriteRegister(offset, Value);
    *Register = Value;
}

// Narrow accesses reach the 32-bit register that holds them.
extern "C" USHORT READ_REGISTER_USHORT(volatile USHORT* Register) {
    uint32_t offset = 0;
    if (hw::PciFunction* function = km::Decode(Register, &offset)) {
        return static_cast<USHORT>(function->ReadRegister(offset & ~3u) >> ((offset & 2u) * 8));
    }
    return *Register;
}

extern "C" VOID WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) {
    uint32_t offset = 0;
    if (hw::PciFunction* function = km::Decode(Register, &offset)) {
        uint32_t shift = (offset & 2u) * 8;
        uint32_t old = function->ReadRegister(offset & ~3u);
        return function->WriteRegister(offset & ~3u, (old & ~(0xFFFFu << shift)) | (uint32_t{Value} << shift));
    }
    *Register = Value;
}

extern "C" UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) {
    uint32_t offset = 0;
    if (hw::PciFunction* function = km::Decode(Register, &offset)) {
        return static_cast<UCHAR>(function->ReadRegister(offset & ~3u) >> ((offset & 3u) * 8));
    }
    return *Register;
}

extern "C" VOID WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
    uint32_t offset = 0;
    if (hw::PciFunction* function = km::Decode(Register, &offset)) {
        uint32_t shift = (offset & 3u) * 8;
        uint32_t old = function->ReadRegister(offset & ~3u);
        return function->WriteRegister(offset & ~3u, (old & ~(0xFFu << shift)) | (uint32_t{Value} << shift));
    }
    *Register = Value;
}

// ------------------------------------------------------------------------
// WdfInterrupt*

extern "C" NTSTATUS WdfInterruptCreate(WDFDEVICE Device, PWDF_INTERRUPT_CONFIG Configuration,
                                       PWDF_OBJECT_ATTRIBUTES Attributes, WDFINTERRUPT* Interrupt) {
    if (Interrupt) *Interrupt = nullptr;
    auto device = Lookup<km::Device>(Device, "WdfInterruptCreate");
    if (!device) return STATUS_INVALID_HANDLE;
    if (Configuration == nullptr || Configuration->Size != sizeof(WDF_INTERRUPT_CONFIG) ||
        Configuration->EvtInterruptIsr == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto interrupt = std::make_shared<km::Interrupt>();
    interrupt->config = *Configuration;
    interrupt->device = device;
    NTSTATUS status = km::Object::Insert(interrupt, device, Attributes);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard guard(device->lock);
        device->interrupts.push_back(interrupt);
    }
    if (Interrupt) *Interrupt = static_cast<WDFINTERRUPT>(interrupt->Handle());
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN WdfInterruptQueueDpcForIsr(WDFINTERRUPT Interrupt) {
    auto interrupt = Lookup<km::Interrupt>(Interrupt, "WdfInterruptQueueDpcForIsr");
    if (!interrupt) return FALSE;
    interrupt->QueueDpc();
    return TRUE;
}

extern "C" BOOLEAN WdfInterruptSynchronize(WDFINTERRUPT Interrupt, PFN_WDF_INTERRUPT_SYNCHRONIZE Callback,
                                           WDFCONTEXT Context) {
    auto interrupt = Lookup<km::Interrupt>(Interrupt, "WdfInterruptSynchronize");
    if (!interrupt || Callback == nullptr) return FALSE;
    std::lock_guard guard(interrupt->lock);
    return Callback(Interrupt, Context);
}

extern "C" VOID WdfInterruptAcquireLock(WDFINTERRUPT Interrupt) {
    if (auto interrupt = Lookup<km::Interrupt>(Interrupt, "WdfInterruptAcquireLock")) interrupt->lock.lock();
}

extern "C" VOID WdfInterruptReleaseLock(WDFINTERRUPT Interrupt) {
    if (auto interrupt = Lookup<km::Interrupt>(Interrupt, "WdfInterruptReleaseLock")) interrupt->lock.unlock();
}

extern "C" VOID WdfInterruptEnable(WDFINTERRUPT Interrupt) {
    if (auto interrupt = Lookup<km::Interrupt>(Interrupt, "WdfInterruptEnable")) interrupt->Enable();
}

extern "C" VOID WdfInterruptDisable(WDFINTERRUPT Interrupt) {
    if (auto interrupt = Lookup<km::Interrupt>(Interrupt, "WdfInterruptDisable")) interrupt->Disable();
}

extern "C" WDFDEVICE WdfInterruptGetDevice(WDFINTERRUPT Interrupt) {
    auto interrupt = Lookup<km::Interrupt>(Interrupt, "WdfInterruptGetDevice");
    if (!interrupt) return nullptr;
    auto device = interrupt->device.lock();
    return device ? static_cast<WDFDEVICE>(device->Handle()) : nullptr;
}

// ------------------------------------------------------------------------
// WdfDmaEnabler*, WdfCommonBuffer*

extern "C" NTSTATUS WdfDmaEnablerCreate(WDFDEVICE Device, PWDF_DMA_ENABLER_CONFIG Config,
                                        PWDF_OBJECT_ATTRIBUTES Attributes, WDFDMAENABLER* DmaEnablerHandle) {
    if (DmaEnablerHandle) *DmaEnablerHandle = nullptr;
    auto device = Lookup<km::Device>(Device, "WdfDmaEnablerCreate");
    if (!device) return STATUS_INVALID_HANDLE;
    if (Config == nullptr || Config->Size != sizeof(WDF_DMA_ENABLER_CONFIG) || Config->Profile == WdfDmaProfileInvalid ||
        Config->MaximumLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (device->node->bus == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
    auto enabler = std::make_shared<km::DmaEnabler>();
    enabler->config = *Config;
    enabler->bus = device->node->bus;
    NTSTATUS status = km::Object::Insert(enabler, device, Attributes);
    if (!NT_SUCCESS(status)) return status;
    if (DmaEnablerHandle) *DmaEnablerHandle = static_cast<WDFDMAENABLER>(enabler->Handle());
    return STATUS_SUCCESS;
}

extern "C" size_t WdfDmaEnablerGetMaximumLength(WDFDMAENABLER DmaEnabler) {
    auto enabler = Lookup<km::DmaEnabler>(DmaEnabler, "WdfDmaEnablerGetMaximumLength");
    return enabler ? enabler->config.MaximumLength : 0;
}

extern "C" NTSTATUS WdfCommonBufferCreate(WDFDMAENABLER DmaEnabler, size_t Length, PWDF_OBJECT_ATTRIBUTES Attributes,
                                          WDFCOMMONBUFFER* CommonBuffer) {
    if (CommonBuffer) *CommonBuffer = nullptr;
    auto enabler = Lookup<km::DmaEnabler>(DmaEnabler, "WdfCommonBufferCreate");
    if (!enabler) return STATUS_INVALID_HANDLE;
    if (Length == 0) return STATUS_INVALID_PARAMETER;
    constexpr size_t kPage = 4096;
    size_t rounded = (Length + kPage - 1) & ~(kPage - 1);
    auto buffer = std::make_shared<km::CommonBuffer>();
    buffer->memory = std::aligned_alloc(kPage, rounded);
    if (buffer->memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(buffer->memory, 0, rounded);
    buffer->length = Length;
    buffer->bus = enabler->bus;
    buffer->logical = enabler->bus->Map(buffer->memory, Length);
    if (buffer->logical == 0) return STATUS_INSUFFICIENT_RESOURCES;
    std::shared_ptr<km::Object> parent = enabler;
    if (Attributes && Attributes->ParentObject) parent = km::LookupObject(Attributes->ParentObject);
    NTSTATUS status = km::Object::Insert(buffer, parent, Attributes);
    if (!NT_SUCCESS(status)) return status;
    if (CommonBuffer) *CommonBuffer = static_cast<WDFCOMMONBUFFER>(buffer->Handle());
    return STATUS_SUCCESS;
}

extern "C" PVOID WdfCommonBufferGetAlignedVirtualAddress(WDFCOMMONBUFFER CommonBuffer) {
    auto buffer = Lookup<km::CommonBuffer>(CommonBuffer, "WdfCommonBufferGetAlignedVirtualAddress");
    return buffer ? buffer->memory : nullptr;
}

extern "C" PHYSICAL_ADDRESS WdfCommonBufferGetAlignedLogicalAddress(WDFCOMMONBUFFER CommonBuffer) {
    PHYSICAL_ADDRESS address{};
    if (auto buffer = Lookup<km::CommonBuffer>(CommonBuffer, "WdfCommonBufferGetAlignedLogicalAddress")) {
        address.QuadPart = static_cast<LONGLONG>(buffer->logical);
    }
    return address;
}

extern "C" size_t WdfCommonBufferGetLength(WDFCOMMONBUFFER CommonBuffer) {
    auto buffer = Lookup<km::CommonBuffer>(CommonBuffer, "WdfCommonBufferGetLength");
    return buffer ? buffer->length : 0;
}

// ------------------------------------------------------------------------
// WdfMemory*

extern "C" NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                                    size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer) {
    if (Memory) *Memory = nullptr;
    if (Buffer) *Buffer = nullptr;
    if (Memory == nullptr || BufferSize == 0) return STATUS_INVALID_PARAMETER;
    auto memory = std::make_shared<km::Memory>();
    memory->buffer = ExAllocatePoolWithTag(PoolType, BufferSize, PoolTag);
    if (memory->buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory->buffer, 0, BufferSize);
    memory->size = BufferSize;
    NTSTATUS status =
        km::Object::Insert(memory, km::DefaultParent(Attributes, __builtin_return_address(0)), Attributes);
    if (!NT_SUCCESS(status)) return status;
    *Memory = static_cast<WDFMEMORY>(memory->Handle());
    if (Buffer) *Buffer = memory->buffer;
    return STATUS_SUCCESS;
}

extern "C" PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    auto memory = Lookup<km::Memory>(Memory, "WdfMemoryGetBuffer");
    if (BufferSize) *BufferSize = memory ? memory->size : 0;
    return memory ? memory->buffer : nullptr;
}

// ------------------------------------------------------------------------
// WdfSpinLock*, WdfWaitLock*

extern "C" NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    if (SpinLock) *SpinLock = nullptr;
    auto lock = std::make_shared<km::SpinLock>();
    NTSTATUS status =
        km::Object::Insert(lock, km::DefaultParent(SpinLockAttributes, __builtin_return_address(0)), SpinLockAttributes);
    if (!NT_SUCCESS(status)) return status;
    if (SpinLock) *SpinLock = static_cast<WDFSPINLOCK>(lock->Handle());
    return STATUS_SUCCESS;
}

extern "C" VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    if (auto lock = Lookup<km::SpinLock>(SpinLock, "WdfSpinLockAcquire")) lock->mutex.lock();
}

extern "C" VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    if (auto lock = Lookup<km::SpinLock>(SpinLock, "WdfSpinLockRelease")) lock->mutex.unlock();
}

extern "C" NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
    if (Lock) *Lock = nullptr;
    auto lock = std::make_shared<km::WaitLock>();
    NTSTATUS status =
        km::Object::Insert(lock, km::DefaultParent(LockAttributes, __builtin_return_address(0)), LockAttributes);
    if (!NT_SUCCESS(status)) return status;
    if (Lock) *Lock = static_cast<WDFWAITLOCK>(lock->Handle());
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout) {
    auto lock = Lookup<km::WaitLock>(Lock, "WdfWaitLockAcquire");
    if (!lock) return STATUS_INVALID_HANDLE;
    if (Timeout == nullptr) {
        lock->mutex.lock();
        return STATUS_SUCCESS;
    }
    LONGLONG ticks = *Timeout;
    if (ticks > 0) {
        // An absolute time: wait for what remains of it.
        LARGE_INTEGER now;
        KeQuerySystemTimePrecise(&now);
        ticks = now.QuadPart - ticks;
    }
    if (ticks >= 0) return lock->mutex.try_lock() ? STATUS_SUCCESS : STATUS_TIMEOUT;
    return lock->mutex.try_lock_for(std::chrono::nanoseconds(-ticks * 100)) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

extern "C" VOID WdfWaitLockRelease(WDFWAITLOCK Lock) {
    if (auto lock = Lookup<km::WaitLock>(Lock, "WdfWaitLockRelease")) lock->mutex.unlock();
}
