/*
 * control.cpp: device-control requests of a port, delivered one at a time
 * by its sequential ControlQueue. Every request but a link-change wait
 * completes before the dispatch returns; a code the port does not handle
 * completes with STATUS_INVALID_DEVICE_REQUEST.
 */
#include "driver.h"

static NTSTATUS OutputULong(WDFREQUEST Request, ULONG Value, size_t *Information)
{
    PULONG out;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), (PVOID *)&out, NULL);
    if (NT_SUCCESS(status)) {
        *out = Value;
        *Information = sizeof(ULONG);
    }
    return status;
}

static NTSTATUS QueryMacAddress(PFDO_DATA Fdo, WDFREQUEST Request, size_t *Information)
{
    PUCHAR out;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(Fdo->MacAddress), (PVOID *)&out, NULL);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(out, Fdo->MacAddress, sizeof(Fdo->MacAddress));
        *Information = sizeof(Fdo->MacAddress);
    }
    return status;
}

static NTSTATUS QueryLinkStatus(PFDO_DATA Fdo, WDFREQUEST Request, size_t *Information)
{
    PFL_IOCTL_LINK_STATUS out;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(*out), (PVOID *)&out, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    /* LinkUp is read first: the interrupt publishes it last on the way
     * up, so speed and duplex belong to the link it reports. */
    UCHAR up = ReadUCharAcquire(&Fdo->LinkUp);
    out->Speed = up ? ReadULongAcquire(&Fdo->LinkSpeed) : 0;
    out->Duplex = up ? ReadULongAcquire(&Fdo->LinkDuplex) : FL_LINK_DUPLEX_DOWN;
    out->LinkUp = up;
    *Information = sizeof(*out);
    return STATUS_SUCCESS;
}

/* Waits are held in the manual LinkWaitQueue; the instance thread of the
 * handle completes one when the link changes (or has changed since its last
 * report). */
static NTSTATUS WaitLinkChange(PFDO_DATA Fdo, WDFREQUEST Request, size_t OutputBufferLength)
{
    if (OutputBufferLength < sizeof(FL_IOCTL_LINK_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return WdfRequestForwardToIoQueue(Request, Fdo->LinkWaitQueue);
}

VOID ControlDispatch(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                     ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(InputBufferLength);
    PFDO_DATA fdo = FdoGetData(WdfIoQueueGetDevice(Queue));
    size_t information = 0;
    NTSTATUS status;

    switch (IoControlCode) {
    case IOCTL_PORT_QUERY_MAC_ADDRESS:
        status = QueryMacAddress(fdo, Request, &information);
        break;
    case IOCTL_PORT_QUERY_LINK_STATUS:
        status = QueryLinkStatus(fdo, Request, &information);
        break;
    case IOCTL_PORT_WAIT_LINK_CHANGE:
        status = WaitLinkChange(fdo, Request, OutputBufferLength);
        if (NT_SUCCESS(status)) {
            return; /* pending */
        }
        break;
    case IOCTL_PORT_QUERY_RX_SLOT_SIZE:
        status = OutputULong(Request, fdo->RxSlotSize, &information);
        break;
    case IOCTL_PORT_QUERY_TX_SLOT_SIZE:
        status = OutputULong(Request, fdo->TxSlotSize, &information);
        break;
    case IOCTL_PORT_QUERY_RX_SLOTS:
        status = OutputULong(Request, fdo->RxSlots, &information);
        break;
    case IOCTL_PORT_QUERY_TX_SLOTS:
        status = OutputULong(Request, fdo->TxSlots, &information);
        break;
    case IOCTL_PORT_QUERY_RX_DESCRIPTORS:
        status = OutputULong(Request, fdo->RxDescriptors, &information);
        break;
    case IOCTL_PORT_QUERY_TX_DESCRIPTORS:
        status = OutputULong(Request, fdo->TxDescriptors, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? information : 0);
}
