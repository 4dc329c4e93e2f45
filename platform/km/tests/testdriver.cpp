// A small KMDF driver of the tests' own, loaded as a module like any driver:
// one device per PCI function, the queue kinds, file objects, the interrupt,
// a common buffer, and a journal of every callback in the order it ran.
#include <ntddk.h>
#include <wdf.h>

#include "testdriver.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex journalLock;
std::string journal;

void Note(const char* what) {
    std::lock_guard guard(journalLock);
    if (!journal.empty()) journal += ' ';
    journal += what;
}

struct DEVICE_DATA {
    WDFQUEUE ControlQueue;
    WDFQUEUE ParkQueue;
    WDFQUEUE DataQueue;
    WDFINTERRUPT Interrupt;
    WDFDMAENABLER DmaEnabler;
    WDFCOMMONBUFFER CommonBuffer;
    volatile ULONG* Registers;
    ULONG RegisterLength;
    std::atomic<ULONG> IsrCount;
    std::atomic<LONG> InsideControl;
    std::atomic<LONG> MostInsideControl;
    ULONG Lanes;
    std::atomic<WDFREQUEST> Held;
    std::atomic<LONG> Rendezvous;
    UCHAR Data[256];
    std::atomic<size_t> DataLength;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_DATA, DeviceData)

struct FILE_DATA {
    ULONG Serial;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_DATA, FileData)

struct DRIVER_DATA {
    ULONG Devices;
    ULONG Greeting;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_DATA, DriverData)

// The registers of the fake function: offset 0 is the interrupt cause,
// cleared by reading it (as ICR is).
constexpr ULONG kCause = 0x0;

BOOLEAN Isr(WDFINTERRUPT Interrupt, ULONG) {
    DEVICE_DATA* data = DeviceData(WdfInterruptGetDevice(Interrupt));
    ULONG cause = READ_REGISTER_ULONG(data->Registers + kCause / 4);
    if (cause == 0) return FALSE;
    data->IsrCount.fetch_add(1);
    WdfInterruptQueueDpcForIsr(Interrupt);
    return TRUE;
}

void Dpc(WDFINTERRUPT, WDFOBJECT) {}

NTSTATUS InterruptEnable(WDFINTERRUPT, WDFDEVICE) {
    Note("intenable");
    return STATUS_SUCCESS;
}

NTSTATUS InterruptDisable(WDFINTERRUPT, WDFDEVICE) {
    Note("intdisable");
    return STATUS_SUCCESS;
}

NTSTATUS PrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST Translated) {
    Note("prepare");
    DEVICE_DATA* data = DeviceData(Device);
    for (ULONG i = 0; i < WdfCmResourceListGetCount(Translated); ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = WdfCmResourceListGetDescriptor(Translated, i);
        if (d->Type == CmResourceTypeMemory && data->Registers == nullptr) {
            data->Registers = static_cast<volatile ULONG*>(MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached));
            data->RegisterLength = d->u.Memory.Length;
        }
    }
    return data->Registers ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS ReleaseHardware(WDFDEVICE Device, WDFCMRESLIST) {
    Note("release");
    DEVICE_DATA* data = DeviceData(Device);
    if (data->Registers) MmUnmapIoSpace(const_cast<ULONG*>(data->Registers), data->RegisterLength);
    data->Registers = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    Note("d0entry");
    return STATUS_SUCCESS;
}

NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    Note("d0exit");
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoInit(WDFDEVICE) {
    Note("smioinit");
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoRestart(WDFDEVICE) {
    Note("smiorestart");
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoSuspend(WDFDEVICE) {
    Note("smiosuspend");
    return STATUS_SUCCESS;
}

void SelfManagedIoCleanup(WDFDEVICE) { Note("smiocleanup"); }

void DeviceCleanup(WDFOBJECT) { Note("devcleanup"); }

void FileCreate(WDFDEVICE, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
    Note("create");
    static std::atomic<ULONG> serial{0};
    FileData(FileObject)->Serial = ++serial;
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

void FileCleanup(WDFFILEOBJECT) { Note("cleanup"); }
void FileClose(WDFFILEOBJECT) { Note("close"); }

void CancelHeld(WDFREQUEST Request) {
    // The cancel routine owns the request: take it out of our hands first.
    DEVICE_DATA* data = DeviceData(WdfFileObjectGetDevice(WdfRequestGetFileObject(Request)));
    WDFREQUEST expected = Request;
    data->Held.compare_exchange_strong(expected, nullptr);
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

void InCallerContext(WDFDEVICE Device, WDFREQUEST Request) {
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    DEVICE_DATA* data = DeviceData(Device);
    if (params.Type == WdfRequestTypeDeviceControl &&
        params.Parameters.DeviceIoControl.IoControlCode == IOCTL_TESTDRV_HOLD) {
        WDFREQUEST none = nullptr;
        if (!data->Held.compare_exchange_strong(none, Request)) {
            WdfRequestComplete(Request, STATUS_DEVICE_BUSY);
            return;
        }
        if (WdfRequestMarkCancelableEx(Request, CancelHeld) == STATUS_CANCELLED) {
            data->Held.store(nullptr);
            WdfRequestComplete(Request, STATUS_CANCELLED);
        }
        return;
    }
    if (params.Type == WdfRequestTypeDeviceControl &&
        params.Parameters.DeviceIoControl.IoControlCode == IOCTL_TESTDRV_RELEASE_HELD) {
        WDFREQUEST held = data->Held.exchange(nullptr);
        NTSTATUS status = STATUS_NO_MORE_ENTRIES;
        // Unmarking fails when the cancel routine got the request first.
        if (held != nullptr && NT_SUCCESS(WdfRequestUnmarkCancelable(held))) {
            WdfRequestComplete(held, STATUS_SUCCESS);
            status = STATUS_SUCCESS;
        }
        WdfRequestComplete(Request, status);
        return;
    }
    if (params.Type == WdfRequestTypeDeviceControl &&
        params.Parameters.DeviceIoControl.IoControlCode == IOCTL_TESTDRV_INLINE) {
        PVOID out = nullptr;
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, nullptr);
        if (NT_SUCCESS(status)) *static_cast<ULONG*>(out) = 0xC0FFEE;
        WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
        return;
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(Device, Request);
    if (!NT_SUCCESS(status)) WdfRequestComplete(Request, status);
}

NTSTATUS ReadConfig(WDFDEVICE Device, ULONG offset, PVOID buffer, ULONG length, ULONG_PTR* read) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(WdfDeviceWdmGetDeviceObject(Device));
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) {
        ObDereferenceObject(target);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_READ_CONFIG;
    stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    stack->Parameters.ReadWriteConfig.Buffer = buffer;
    stack->Parameters.ReadWriteConfig.Offset = offset;
    stack->Parameters.ReadWriteConfig.Length = length;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    *read = ioStatus.Information;
    ObDereferenceObject(target);
    return status;
}

void Control(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputLength, size_t InputLength, ULONG Code) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    DEVICE_DATA* data = DeviceData(device);
    LONG inside = data->InsideControl.fetch_add(1) + 1;
    LONG most = data->MostInsideControl.load();
    while (inside > most && !data->MostInsideControl.compare_exchange_weak(most, inside)) {
    }
    PVOID in = nullptr;
    PVOID out = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR info = 0;
    switch (Code) {
    case IOCTL_TESTDRV_ECHO:
        status = WdfRequestRetrieveInputBuffer(Request, 1, &in, nullptr);
        if (NT_SUCCESS(status)) status = WdfRequestRetrieveOutputBuffer(Request, 1, &out, nullptr);
        if (NT_SUCCESS(status)) {
            // Input and output share the system buffer: the echo is in place.
            info = InputLength <= OutputLength ? InputLength : OutputLength;
            status = InputLength <= OutputLength ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
        }
        break;
    case IOCTL_TESTDRV_PARK:
        data->InsideControl.fetch_sub(1);
        status = WdfRequestForwardToIoQueue(Request, data->ParkQueue);
        if (!NT_SUCCESS(status)) WdfRequestComplete(Request, status);
        return;
    case IOCTL_TESTDRV_RELEASE: {
        WDFREQUEST parked = nullptr;
        status = WdfIoQueueRetrieveRequestByFileObject(data->ParkQueue, WdfRequestGetFileObject(Request), &parked);
        if (NT_SUCCESS(status)) {
            // The parked request's input and output share its system buffer:
            // the tag it brought goes back as its answer.
            NTSTATUS answer = WdfRequestRetrieveOutputBuffer(parked, sizeof(ULONG), &out, nullptr);
            WdfRequestCompleteWithInformation(parked, answer, NT_SUCCESS(answer) ? sizeof(ULONG) : 0);
        }
        break;
    }
    case IOCTL_TESTDRV_COMPLETE_TWICE:
        data->InsideControl.fetch_sub(1);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
        return;
    case IOCTL_TESTDRV_SLOW:
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, nullptr);
        if (NT_SUCCESS(status)) {
            *static_cast<ULONG*>(out) = static_cast<ULONG>(data->MostInsideControl.load());
            info = sizeof(ULONG);
        }
        break;
    case IOCTL_TESTDRV_READ_CONFIG:
        status = WdfRequestRetrieveInputBuffer(Request, 8, &in, nullptr);
        if (NT_SUCCESS(status)) status = WdfRequestRetrieveOutputBuffer(Request, 1, &out, nullptr);
        if (NT_SUCCESS(status)) {
            ULONG offset = static_cast<ULONG*>(in)[0];
            ULONG length = static_cast<ULONG*>(in)[1];
            UCHAR bytes[256];
            if (length > sizeof bytes || length > OutputLength) length = static_cast<ULONG>(OutputLength < sizeof bytes ? OutputLength : sizeof bytes);
            status = ReadConfig(device, offset, bytes, length, &info);
            if (NT_SUCCESS(status)) RtlCopyMemory(out, bytes, info);
        }
        break;
    case IOCTL_TESTDRV_REGISTER:
        status = WdfRequestRetrieveInputBuffer(Request, 12, &in, nullptr);
        if (NT_SUCCESS(status)) status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, nullptr);
        if (NT_SUCCESS(status)) {
            ULONG* args = static_cast<ULONG*>(in);
            ULONG offset = args[0], value = args[1], write = args[2];
            if (write) WRITE_REGISTER_ULONG(data->Registers + offset / 4, value);
            *static_cast<ULONG*>(out) = READ_REGISTER_ULONG(data->Registers + offset / 4);
            info = sizeof(ULONG);
        }
        break;
    case IOCTL_TESTDRV_ISR_COUNT:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, nullptr);
        if (NT_SUCCESS(status)) {
            *static_cast<ULONG*>(out) = data->IsrCount.load();
            info = sizeof(ULONG);
        }
        break;
    case IOCTL_TESTDRV_SET_EVENT:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(HANDLE), &in, nullptr);
        if (NT_SUCCESS(status)) {
            PVOID object = nullptr;
            status = ObReferenceObjectByHandle(*static_cast<HANDLE*>(in), EVENT_MODIFY_STATE, *ExEventObjectType,
                                               WdfRequestGetRequestorMode(Request), &object, nullptr);
            if (NT_SUCCESS(status)) {
                KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
                ObDereferenceObject(object);
            }
        }
        break;
    case IOCTL_TESTDRV_SETTINGS:
        status = WdfRequestRetrieveOutputBuffer(Request, 8, &out, nullptr);
        if (NT_SUCCESS(status)) {
            static_cast<ULONG*>(out)[0] = DriverData(WdfGetDriver())->Greeting;
            static_cast<ULONG*>(out)[1] = data->Lanes;
            info = 8;
        }
        break;
    case IOCTL_TESTDRV_COMMON_BUFFER:
        status = WdfRequestRetrieveOutputBuffer(Request, 16, &out, nullptr);
        if (NT_SUCCESS(status)) {
            auto* answer = static_cast<ULONG64*>(out);
            answer[0] = static_cast<ULONG64>(WdfCommonBufferGetAlignedLogicalAddress(data->CommonBuffer).QuadPart);
            answer[1] = WdfCommonBufferGetLength(data->CommonBuffer);
            info = 16;
        }
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    (void)InputLength;
    data->InsideControl.fetch_sub(1);
    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? info : 0);
}

// Reads and writes of the data queue: direct I/O through the MDL.
void Write(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    DEVICE_DATA* data = DeviceData(WdfIoQueueGetDevice(Queue));
    PMDL mdl = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputWdmMdl(Request, &mdl);
    size_t taken = 0;
    if (NT_SUCCESS(status)) {
        PVOID source = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
        constexpr size_t kTag = sizeof TESTDRV_RENDEZVOUS - 1;
        if (Length >= kTag && RtlEqualMemory(source, TESTDRV_RENDEZVOUS, kTag)) {
            data->Rendezvous.fetch_add(1);
            for (int i = 0; i < 500 && data->Rendezvous.load() < 2; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            status = data->Rendezvous.load() >= 2 ? STATUS_SUCCESS : STATUS_IO_TIMEOUT;
            WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? Length : 0);
            return;
        }
        taken = Length < sizeof data->Data ? Length : sizeof data->Data;
        RtlCopyMemory(data->Data, source, taken);
        data->DataLength.store(taken);
    }
    WdfRequestCompleteWithInformation(Request, status, taken);
}

void Read(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    DEVICE_DATA* data = DeviceData(WdfIoQueueGetDevice(Queue));
    PMDL mdl = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputWdmMdl(Request, &mdl);
    size_t given = 0;
    if (NT_SUCCESS(status)) {
        PVOID target = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
        size_t have = data->DataLength.load();
        given = Length < have ? Length : have;
        RtlCopyMemory(target, data->Data, given);
    }
    WdfRequestCompleteWithInformation(Request, status, given);
}

NTSTATUS AddDevice(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    Note("add");
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    pnp.EvtDeviceSelfManagedIoInit = SelfManagedIoInit;
    pnp.EvtDeviceSelfManagedIoSuspend = SelfManagedIoSuspend;
    pnp.EvtDeviceSelfManagedIoRestart = SelfManagedIoRestart;
    pnp.EvtDeviceSelfManagedIoCleanup = SelfManagedIoCleanup;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, FileCreate, FileClose, FileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_DATA);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);
    WdfDeviceInitSetIoInCallerContextCallback(DeviceInit, InCallerContext);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_DATA);
    attributes.EvtCleanupCallback = DeviceCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    DEVICE_DATA* data = DeviceData(device);
    DriverData(Driver)->Devices++;

    DECLARE_CONST_UNICODE_STRING(lanesName, u"Lanes");
    DECLARE_CONST_UNICODE_STRING(failName, u"FailAdd");
    WDFKEY key;
    ULONG fail = 0;
    data->Lanes = 0xFFFFFFFF;
    if (NT_SUCCESS(WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                            WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        if (!NT_SUCCESS(WdfRegistryQueryULong(key, &lanesName, &data->Lanes))) data->Lanes = 0xFFFFFFFF;
        WdfRegistryQueryULong(key, &failName, &fail);
        WdfRegistryClose(key);
    }
    if (fail) return STATUS_DEVICE_CONFIGURATION_ERROR;

    WDF_INTERRUPT_CONFIG interruptConfig;
    WDF_INTERRUPT_CONFIG_INIT(&interruptConfig, Isr, Dpc);
    interruptConfig.EvtInterruptEnable = InterruptEnable;
    interruptConfig.EvtInterruptDisable = InterruptDisable;
    status = WdfInterruptCreate(device, &interruptConfig, WDF_NO_OBJECT_ATTRIBUTES, &data->Interrupt);
    if (!NT_SUCCESS(status)) return status;

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = Control;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &data->ControlQueue);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &data->ParkQueue);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoRead = Read;
    queueConfig.EvtIoWrite = Write;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &data->DataQueue);
    if (!NT_SUCCESS(status)) return status;
    WdfDeviceConfigureRequestDispatching(device, data->ControlQueue, WdfRequestTypeDeviceControl);
    WdfDeviceConfigureRequestDispatching(device, data->DataQueue, WdfRequestTypeRead);
    WdfDeviceConfigureRequestDispatching(device, data->DataQueue, WdfRequestTypeWrite);

    WDF_DMA_ENABLER_CONFIG dmaConfig;
    WDF_DMA_ENABLER_CONFIG_INIT(&dmaConfig, WdfDmaProfileScatterGather64Duplex, 65536);
    status = WdfDmaEnablerCreate(device, &dmaConfig, WDF_NO_OBJECT_ATTRIBUTES, &data->DmaEnabler);
    if (!NT_SUCCESS(status)) return status;
    status = WdfCommonBufferCreate(data->DmaEnabler, 8192, WDF_NO_OBJECT_ATTRIBUTES, &data->CommonBuffer);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(WdfCommonBufferGetAlignedVirtualAddress(data->CommonBuffer), "testdrv", 8);

    // {5a0d2c4e-1b7f-4c11-9e0a-7d3f9b2e6a10}
    static const GUID kInterface = {0x5a0d2c4e, 0x1b7f, 0x4c11, {0x9e, 0x0a, 0x7d, 0x3f, 0x9b, 0x2e, 0x6a, 0x10}};
    return WdfDeviceCreateDeviceInterface(device, &kInterface, nullptr);
}

void DriverCleanup(WDFOBJECT) { Note("drivercleanup"); }
void DriverUnload(WDFDRIVER) { Note("unload"); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    {
        std::lock_guard guard(journalLock);
        journal.clear();
    }
    DbgPrint("testdrv %u.%u loaded from %s\n", 1u, 2u, "module");
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, AddDevice);
    config.EvtDriverUnload = DriverUnload;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DRIVER_DATA);
    attributes.EvtCleanupCallback = DriverCleanup;
    WDFDRIVER driver;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) return status;
    Note(WdfGetDriver() == driver ? "entry" : "entry-with-another-driver");

    DECLARE_CONST_UNICODE_STRING(greetingName, u"Greeting");
    DECLARE_CONST_UNICODE_STRING(failName, u"FailEntry");
    DriverData(driver)->Greeting = 0xFFFFFFFF;
    ULONG fail = 0;
    WDFKEY key;
    if (NT_SUCCESS(WdfDriverOpenParametersRegistryKey(driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        if (!NT_SUCCESS(WdfRegistryQueryULong(key, &greetingName, &DriverData(driver)->Greeting))) {
            DriverData(driver)->Greeting = 0xFFFFFFFF;
        }
        WdfRegistryQueryULong(key, &failName, &fail);
        WdfRegistryClose(key);
    }
    return fail ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

extern "C" __attribute__((visibility("default"))) void TestDriverJournal(char* buffer, unsigned long size) {
    std::lock_guard guard(journalLock);
    std::string text = journal;
    journal.clear();
    if (size == 0) return;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    text.copy(buffer, n);
    buffer[n] = '\0';
}
