/*
 * preprocess.cpp: every request of a port passes here in the caller's
 * context before it reaches a queue.
 *
 * Event registration is finished here because the event handle belongs to
 * the calling process: it can only be referenced in that process's context,
 * never later from a queue's thread. A read on a handle that never enabled
 * reception is refused here so that it fails at once instead of waiting in
 * the read queue for an instance thread that will never complete it. The
 * harvest time is answered here too: it is read without a lock, and the
 * aggregating receive asks for it on every call, so it must not wait in
 * the sequential control queue behind a request that takes hundreds of
 * milliseconds (autonegotiation, EEPROM writes).
 * Everything else goes to the queue configured for its type.
 */
#include "datapath.h"

/* The event slot an event registration code fills, or NULL for any other
 * code. */
static PKEVENT volatile *EventSlot(PFILE_OBJECT_DATA Instance, ULONG IoControlCode)
{
    switch (IoControlCode) {
    case IOCTL_INSTANCE_SET_RECEIVE_EVENT:
        return &Instance->ReceiveEvent;
    case IOCTL_INSTANCE_SET_TRANSMIT_EVENT:
        return &Instance->TransmitEvent;
    default:
        return NULL;
    }
}

/* The caller's handle: 4 bytes from a 32-bit process (sign-extended, as
 * the system widens handles), 8 bytes otherwise. */
static NTSTATUS EventHandleRetrieve(WDFREQUEST Request, PHANDLE Handle)
{
    PVOID input;
    if (WdfRequestIsFrom32BitProcess(Request)) {
        NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(LONG), &input, NULL);
        if (NT_SUCCESS(status)) {
            LONG value;
            RtlCopyMemory(&value, input, sizeof(value));
            *Handle = (HANDLE)(LONG_PTR)value;
        }
        return status;
    }
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG64), &input, NULL);
    if (NT_SUCCESS(status)) {
        ULONG64 value;
        RtlCopyMemory(&value, input, sizeof(value));
        *Handle = (HANDLE)(ULONG_PTR)value;
    }
    return status;
}

/* References the caller's event and keeps it in Slot unless an event is
 * registered there already. Two registrations racing on one handle (they
 * do not pass through the sequential queue) leave exactly one event: the
 * compare-and-exchange decides, and the loser's reference is dropped. */
static NTSTATUS EventRegister(WDFREQUEST Request, PKEVENT volatile *Slot)
{
    HANDLE handle;
    NTSTATUS status = EventHandleRetrieve(Request, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID event;
    status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                       WdfRequestGetRequestorMode(Request), &event, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (InterlockedCompareExchangePointer((PVOID volatile *)Slot, event, NULL) != NULL) {
        ObDereferenceObject(event);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS HarvestTimeAnswer(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t *Information)
{
    if (!ReadUCharAcquire(&Instance->ReceptionEnabled)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID out;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONGLONG), &out, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONGLONG time = HarvestTimeRead(Instance->Port);
    RtlCopyMemory(out, &time, sizeof(time));
    *Information = sizeof(time);
    return STATUS_SUCCESS;
}

VOID RequestPreprocess(WDFDEVICE Device, WDFREQUEST Request)
{
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    WDFFILEOBJECT file = WdfRequestGetFileObject(Request);
    PFILE_OBJECT_DATA instance = file != NULL ? FileGetData(file) : NULL;

    if (instance != NULL && parameters.Type == WdfRequestTypeDeviceControl) {
        PKEVENT volatile *slot = EventSlot(instance, parameters.Parameters.DeviceIoControl.IoControlCode);
        if (slot != NULL) {
            WdfRequestComplete(Request, EventRegister(Request, slot));
            return;
        }
        if (parameters.Parameters.DeviceIoControl.IoControlCode == IOCTL_INSTANCE_QUERY_HARVEST_TIME) {
            size_t information = 0;
            NTSTATUS status = HarvestTimeAnswer(instance, Request, &information);
            WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? information : 0);
            return;
        }
    }
    if (parameters.Type == WdfRequestTypeRead &&
        (instance == NULL || !ReadUCharAcquire(&instance->ReceptionEnabled))) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }

    NTSTATUS status = WdfDeviceEnqueueRequest(Device, Request);
    if (!NT_SUCCESS(status)) {
        /* Not taken by a queue: the request is still ours to complete. */
        WdfRequestComplete(Request, status);
    }
}
