// The device I/O tests' own driver: a device interface per device, reads
// that wait, writes that feed them, control requests that complete with any
// status or wait to be released, and the file callbacks counted.
#define INITGUID
#include <ntddk.h>
#include <wdf.h>

#include "test_driver_public.h"

namespace {

struct DEVICE_CONTEXT {
    WDFQUEUE ReadQueue;
    WDFQUEUE HeldQueue;
    ULONG Generation;
    ULONG Probe;
    LONG Creates;
    LONG Cleanups;
    LONG Closes;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)

LONG DeviceAdds = 0;

LONG ReadCounter(LONG volatile* counter) { return InterlockedCompareExchange(counter, 0, 0); }

VOID FillOutput(WDFREQUEST Request, size_t Length) {
    PVOID buffer = nullptr;
    if (Length == 0 || !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, 1, &buffer, nullptr))) return;
    auto* bytes = static_cast<UCHAR*>(buffer);
    for (size_t i = 0; i < Length; ++i) bytes[i] = static_cast<UCHAR>(0xA0 + i);
}

VOID EvtFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    InterlockedIncrement(&DeviceGetContext(Device)->Creates);
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

VOID EvtFileCleanup(WDFFILEOBJECT FileObject) {
    InterlockedIncrement(&DeviceGetContext(WdfFileObjectGetDevice(FileObject))->Cleanups);
}

VOID EvtFileClose(WDFFILEOBJECT FileObject) {
    InterlockedIncrement(&DeviceGetContext(WdfFileObjectGetDevice(FileObject))->Closes);
}

VOID EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    DEVICE_CONTEXT* context = DeviceGetContext(WdfIoQueueGetDevice(Queue));
    WDFREQUEST read = nullptr;
    if (!NT_SUCCESS(WdfIoQueueRetrieveNextRequest(context->ReadQueue, &read))) {
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
        return;
    }
    PVOID source = nullptr;
    PVOID target = nullptr;
    size_t capacity = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, &source, nullptr);
    if (NT_SUCCESS(status)) status = WdfRequestRetrieveOutputBuffer(read, 1, &target, &capacity);
    size_t moved = 0;
    if (NT_SUCCESS(status)) {
        moved = Length < capacity ? Length : capacity;
        RtlCopyMemory(target, source, moved);
    }
    WdfRequestCompleteWithInformation(read, status, moved);
    WdfRequestCompleteWithInformation(Request, status, moved);
}

VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                        ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(InputBufferLength);
    DEVICE_CONTEXT* context = DeviceGetContext(WdfIoQueueGetDevice(Queue));
    switch (IoControlCode) {
    case IOCTL_TEST_COMPLETE: {
        PVOID input = nullptr;
        NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(TEST_COMPLETION), &input, nullptr);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
            return;
        }
        const TEST_COMPLETION answer = *static_cast<TEST_COMPLETION*>(input);
        FillOutput(Request, OutputBufferLength);
        WdfRequestCompleteWithInformation(Request, answer.Status, answer.Information);
        return;
    }
    case IOCTL_TEST_PEND: {
        NTSTATUS status = WdfRequestForwardToIoQueue(Request, context->HeldQueue);
        if (!NT_SUCCESS(status)) WdfRequestComplete(Request, status);
        return;
    }
    case IOCTL_TEST_RELEASE: {
        ULONG released = 0;
        WDFREQUEST held = nullptr;
        while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(context->HeldQueue, &held))) {
            WDF_REQUEST_PARAMETERS parameters;
            WDF_REQUEST_PARAMETERS_INIT(&parameters);
            WdfRequestGetParameters(held, &parameters);
            const size_t length = parameters.Parameters.DeviceIoControl.OutputBufferLength;
            FillOutput(held, length);
            WdfRequestCompleteWithInformation(held, STATUS_SUCCESS, length);
            ++released;
        }
        PVOID output = nullptr;
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &output, nullptr);
        if (NT_SUCCESS(status)) *static_cast<ULONG*>(output) = released;
        WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
        return;
    }
    case IOCTL_TEST_QUERY: {
        PVOID output = nullptr;
        NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(TEST_STATE), &output, nullptr);
        if (NT_SUCCESS(status)) {
            auto* state = static_cast<TEST_STATE*>(output);
            state->Generation = context->Generation;
            state->Probe = context->Probe;
            state->Creates = static_cast<ULONG>(ReadCounter(&context->Creates));
            state->Cleanups = static_cast<ULONG>(ReadCounter(&context->Cleanups));
            state->Closes = static_cast<ULONG>(ReadCounter(&context->Closes));
        }
        WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? sizeof(TEST_STATE) : 0);
        return;
    }
    case IOCTL_TEST_WRITE_ACCESS:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    default:
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
}

NTSTATUS EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);
    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, EvtFileCreate, EvtFileClose, EvtFileCleanup);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &files, WDF_NO_OBJECT_ATTRIBUTES);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    DEVICE_CONTEXT* context = DeviceGetContext(device);
    context->Generation = static_cast<ULONG>(InterlockedIncrement(&DeviceAdds));

    // The value the tests write through SetupDiOpenDevRegKey before a restart.
    WDFKEY key = nullptr;
    if (NT_SUCCESS(WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        DECLARE_CONST_UNICODE_STRING(probeName, u"UmdevProbe");
        ULONG probe = 0;
        if (NT_SUCCESS(WdfRegistryQueryULong(key, &probeName, &probe))) context->Probe = probe;
        WdfRegistryClose(key);
    }

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoWrite = EvtIoWrite;
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    if (!NT_SUCCESS(status)) return status;

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &context->ReadQueue);
    if (!NT_SUCCESS(status)) return status;
    status = WdfDeviceConfigureRequestDispatching(device, context->ReadQueue, WdfRequestTypeRead);
    if (!NT_SUCCESS(status)) return status;

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &context->HeldQueue);
    if (!NT_SUCCESS(status)) return status;

    return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_UMDEV_TEST, nullptr);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}
