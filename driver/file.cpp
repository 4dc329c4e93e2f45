/*
 * file.cpp: instances. Each open handle gets its record and a thread of
 * its own that polls every millisecond from create to cleanup.
 */
#include "datapath.h"

#include "hw/controller.h"

#define DEFAULT_READ_THRESHOLD  0x100000
#define DEFAULT_SNAP_LENGTH     0xFFFF
#define DEFAULT_ERROR_FILTER    3
#define DEFAULT_READ_TIMEOUT_MS 10

static KSTART_ROUTINE InstanceThread;

/* Completes one pending link-change wait of this instance with the port's
 * link state, when it changed since the last report. Without a pending
 * wait the change stays for the next one. */
static VOID LinkChangeReport(WDFFILEOBJECT File, PFILE_OBJECT_DATA Instance)
{
    PFDO_DATA port = Instance->Port;
    /* One snapshot: a new state read with an old count would be reported
     * again once the count catches up. */
    LONG64 state = LinkStateRead(port);
    if (state == Instance->LastLinkState) {
        return;
    }
    WDFREQUEST request;
    if (!NT_SUCCESS(WdfIoQueueRetrieveRequestByFileObject(port->LinkWaitQueue, File, &request))) {
        return;
    }
    PFL_IOCTL_LINK_STATUS record;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, sizeof(*record), (PVOID *)&record, NULL);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(request, status, 0);
        return;
    }
    LinkStatusFill(port, LinkStateUp(state), record);
    Instance->LastLinkState = state;
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof(*record));
}

/* The transmit event is set while more than half the port's transmit slots
 * are free, so that a writer waiting on it finds room for a full buffer. */
static VOID TransmitEventUpdate(PFILE_OBJECT_DATA Instance)
{
    /* Registered once by the control queue and released only at close,
     * after this thread ended. */
    PKEVENT event = (PKEVENT)InterlockedCompareExchangePointer((PVOID volatile *)&Instance->TransmitEvent, NULL, NULL);
    if (event == NULL) {
        return;
    }
    if (2ull * TxFreeSlots(Instance->Port) > Instance->Port->TxSlots) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    } else {
        KeResetEvent(event);
    }
}

/* Instance threads run one step below the management thread: however many
 * there are, none preempts the only thread that harvests the rings, whose
 * descriptors hold a few milliseconds of line rate. */
static KPRIORITY InstancePriority(void)
{
    ULONG management = DriverGetContext(WdfGetDriver())->MgmThreadPriority;
    return management > 1 ? (KPRIORITY)(management - 1) : 1;
}

static VOID InstanceThread(PVOID StartContext)
{
    WDFFILEOBJECT file = (WDFFILEOBJECT)StartContext;
    PFILE_OBJECT_DATA instance = FileGetData(file);

    KeSetPriorityThread(KeGetCurrentThread(), InstancePriority());
    LARGE_INTEGER now;
    KeQuerySystemTimePrecise(&now);
    instance->LastCompletion = now.QuadPart;

    while (!ReadUCharAcquire(&instance->StopRequested)) {
        if (ReadUCharAcquire(&instance->ReceptionEnabled)) {
            ReadCheck(file, instance);
        }
        LinkChangeReport(file, instance);
        TransmitEventUpdate(instance);
        SleepMilliseconds(1);
    }
}

static VOID InstanceStop(PVOID StartContext)
{
    WriteUCharRelease(&FileGetData((WDFFILEOBJECT)StartContext)->StopRequested, 1);
}

VOID InstanceCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    PFDO_DATA port = FdoGetData(Device);
    PFILE_OBJECT_DATA instance = FileGetData(FileObject);

    instance->ReceiveEvent = NULL;
    instance->TransmitEvent = NULL;
    instance->SnapLength = DEFAULT_SNAP_LENGTH;
    instance->ReadThreshold = DEFAULT_READ_THRESHOLD;
    instance->ReadTimeout = DEFAULT_READ_TIMEOUT_MS;
    instance->ErrorFilter = DEFAULT_ERROR_FILTER;
    instance->ReceptionEnabled = 0;
    instance->TransmissionEnabled = 0;
    instance->TxPackets = 0;
    instance->TxBytes = 0;
    RtlZeroMemory(instance->CounterBaseline, sizeof(instance->CounterBaseline));
    instance->StopRequested = 0;
    instance->LastLinkState = LinkStateRead(port);
    instance->Port = port;

    /* Should the thread start but not be referenced, it is stopped before
     * the failed create frees the file object it runs on. */
    NTSTATUS status = ThreadStart(InstanceThread, FileObject, InstanceStop, &instance->InstanceThread);
    WdfRequestComplete(Request, status);
}

VOID InstanceCleanup(WDFFILEOBJECT FileObject)
{
    PFILE_OBJECT_DATA instance = FileGetData(FileObject);
    WriteUCharRelease(&instance->StopRequested, 1);
    ThreadWaitAndRelease(&instance->InstanceThread);
}

VOID InstanceClose(WDFFILEOBJECT FileObject)
{
    PFILE_OBJECT_DATA instance = FileGetData(FileObject);
    PDRIVER_CONTEXT context = DriverGetContext(WdfGetDriver());

    if (ReadUCharAcquire(&instance->ReceptionEnabled)) {
        ReaderDetach(instance->Port, instance->ReaderIndex);
        InterlockedDecrement(&context->ActiveInstanceCount);
    }
    if (ReadUCharAcquire(&instance->TransmissionEnabled)) {
        InterlockedDecrement(&context->ActiveInstanceCount);
    }
    PKEVENT event = (PKEVENT)InterlockedExchangePointer((PVOID volatile *)&instance->ReceiveEvent, NULL);
    if (event != NULL) {
        ObDereferenceObject(event);
    }
    event = (PKEVENT)InterlockedExchangePointer((PVOID volatile *)&instance->TransmitEvent, NULL);
    if (event != NULL) {
        ObDereferenceObject(event);
    }
}
