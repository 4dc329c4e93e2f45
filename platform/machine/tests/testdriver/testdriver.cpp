/*
 * fltest: the machine tests' own minimal KMDF driver for the 82571 board.
 *
 * It does the least a capture driver does, through the same means: the
 * registers mapped from the memory resource, the MAC address from the EEPROM
 * (EERD), a receive and a transmit descriptor ring in common buffers, and a
 * system thread that polls them every millisecond. Every callback prints one
 * line to the debugger, so a test can read the PnP order from the log.
 *
 * A few exports (FlTest*) let the tests look at what a port received and
 * hand it frames to send; they stand where a control interface would.
 */
#include <ntddk.h>
#include <wdf.h>

#include "testdriver.h"

namespace {

constexpr ULONG kTag = 0x74735446;  // "FTst" in a pool dump

// Registers (byte offsets into BAR0).
constexpr ULONG CTRL = 0x0000, STATUS = 0x0008, EECD = 0x0010, EERD = 0x0014, IMC = 0x00D8;
constexpr ULONG RCTL = 0x0100, TCTL = 0x0400;
constexpr ULONG RDBAL = 0x2800, RDBAH = 0x2804, RDLEN = 0x2808, RDH = 0x2810, RDT = 0x2818;
constexpr ULONG TDBAL = 0x3800, TDBAH = 0x3804, TDLEN = 0x3808, TDH = 0x3810, TDT = 0x3818;
constexpr ULONG CTRL_SLU = 1u << 6, CTRL_RST = 1u << 26;
constexpr ULONG EECD_AUTO_RD = 1u << 9;
constexpr ULONG RCTL_EN = 1u << 1, RCTL_UPE = 1u << 3, RCTL_MPE = 1u << 4, RCTL_BAM = 1u << 15;
constexpr ULONG TCTL_EN = 1u << 1, TCTL_PSP = 1u << 3;
constexpr UCHAR DESC_DD = 0x01;
constexpr UCHAR TXCMD_EOP = 0x01, TXCMD_IFCS = 0x02, TXCMD_RS = 0x08;

constexpr ULONG kDescriptors = 64;   // per ring; one always stays empty
constexpr ULONG kBufferSize = 2048;  // RCTL buffer size 0
constexpr ULONG kKeptFrames = 256;   // received frames kept for the tests
constexpr LONG kMaxDevices = 4;      // more are refused, as a driver with a fixed table would

LONG volatile g_devices = 0;  // devices created and not yet cleaned up

struct DESCRIPTOR {
    ULONG64 Address;
    USHORT Length;
    UCHAR Cso;     // receive: checksum low byte
    UCHAR Command; // receive: checksum high byte
    UCHAR Status;
    UCHAR Errors;
    USHORT Special;
};
static_assert(sizeof(DESCRIPTOR) == 16, "descriptors are 16 bytes");

struct KEPT_FRAME {
    ULONG Length;
    UCHAR Bytes[kBufferSize];
};

struct PORT_CONTEXT {
    WDFDEVICE Device;
    volatile ULONG *Registers;
    SIZE_T RegisterLength;
    UCHAR MacAddress[6];
    WDFDMAENABLER DmaEnabler;
    WDFCOMMONBUFFER RxRing, RxBuffers, TxRing, TxBuffers;
    DESCRIPTOR *RxDescriptors, *TxDescriptors;
    PUCHAR RxMemory, TxMemory;
    PHYSICAL_ADDRESS RxRingLogical, RxBuffersLogical, TxRingLogical, TxBuffersLogical;
    ULONG RxNext;   // next receive descriptor to harvest (poll thread)
    KSPIN_LOCK Lock;  // the transmit ring and the kept frames
    ULONG TxTail, TxClean;
    LONG64 TxCompleted;
    LONG64 Received;
    KEPT_FRAME *Kept;  // kKeptFrames, the latest frames by Received % kKeptFrames
    PKTHREAD PollThread;
    LONG StopPolling;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PORT_CONTEXT, PortContext)

// Ports the tests can find by MAC address.
KSPIN_LOCK g_PortsLock;
PORT_CONTEXT *g_Ports[16];

ULONG Read(PORT_CONTEXT *port, ULONG offset) { return READ_REGISTER_ULONG(port->Registers + offset / 4); }
void Write(PORT_CONTEXT *port, ULONG offset, ULONG value) { WRITE_REGISTER_ULONG(port->Registers + offset / 4, value); }

void Sleep(LONGLONG microseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * microseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS EepromRead(PORT_CONTEXT *port, ULONG address, USHORT *value)
{
    Write(port, EERD, (address << 2) | 1);
    for (int i = 0; i < 1000; ++i) {
        ULONG eerd = Read(port, EERD);
        if (eerd == 0xFFFFFFFF) return STATUS_UNSUCCESSFUL;
        if (eerd & 2) {
            *value = (USHORT)(eerd >> 16);
            return STATUS_SUCCESS;
        }
        Sleep(10);
    }
    return STATUS_IO_TIMEOUT;
}

void RegisterPort(PORT_CONTEXT *port, BOOLEAN add)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_PortsLock, &irql);
    for (PORT_CONTEXT *&slot : g_Ports) {
        if (add && slot == NULL) {
            slot = port;
            break;
        }
        if (!add && slot == port) {
            slot = NULL;
            break;
        }
    }
    KeReleaseSpinLock(&g_PortsLock, irql);
}

void HarvestReceived(PORT_CONTEXT *port)
{
    for (;;) {
        DESCRIPTOR *d = &port->RxDescriptors[port->RxNext];
        // The board writes the status byte last, with release ordering.
        if (!(__atomic_load_n(&d->Status, __ATOMIC_ACQUIRE) & DESC_DD)) break;
        ULONG length = d->Length;
        if (length > kBufferSize) length = kBufferSize;
        KIRQL irql;
        KeAcquireSpinLock(&port->Lock, &irql);
        KEPT_FRAME *kept = &port->Kept[port->Received % kKeptFrames];
        kept->Length = length;
        RtlCopyMemory(kept->Bytes, port->RxMemory + (SIZE_T)port->RxNext * kBufferSize, length);
        port->Received += 1;
        KeReleaseSpinLock(&port->Lock, irql);
        __atomic_store_n(&d->Status, (UCHAR)0, __ATOMIC_RELAXED);
        // The harvested descriptor becomes the new tail: the ring keeps one
        // entry empty.
        Write(port, RDT, port->RxNext);
        port->RxNext = (port->RxNext + 1) % kDescriptors;
    }
}

void CleanTransmitted(PORT_CONTEXT *port)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->Lock, &irql);
    while (port->TxClean != port->TxTail &&
           (__atomic_load_n(&port->TxDescriptors[port->TxClean].Status, __ATOMIC_ACQUIRE) & DESC_DD)) {
        port->TxClean = (port->TxClean + 1) % kDescriptors;
        port->TxCompleted += 1;
    }
    KeReleaseSpinLock(&port->Lock, irql);
}

VOID PollThread(PVOID context)
{
    PORT_CONTEXT *port = (PORT_CONTEXT *)context;
    while (!ReadAcquire(&port->StopPolling)) {
        HarvestReceived(port);
        CleanTransmitted(port);
        Sleep(1000);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- PnP and power ----

NTSTATUS EvtPrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST translated)
{
    PORT_CONTEXT *port = PortContext(device);
    DbgPrint("fltest: prepare hardware\n");
    for (ULONG i = 0; i < WdfCmResourceListGetCount(translated); ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = WdfCmResourceListGetDescriptor(translated, i);
        if (d->Type == CmResourceTypeMemory && port->Registers == NULL) {
            port->RegisterLength = d->u.Memory.Length;
            port->Registers = (volatile ULONG *)MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
        }
    }
    return port->Registers != NULL ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS EvtReleaseHardware(WDFDEVICE device, WDFCMRESLIST)
{
    PORT_CONTEXT *port = PortContext(device);
    DbgPrint("fltest: release hardware\n");
    if (port->Registers != NULL) MmUnmapIoSpace((PVOID)port->Registers, port->RegisterLength);
    port->Registers = NULL;
    return STATUS_SUCCESS;
}

void ControllerReset(PORT_CONTEXT *port)
{
    Write(port, IMC, 0xFFFFFFFF);
    Write(port, RCTL, 0);
    Write(port, TCTL, 0);
    Write(port, CTRL, Read(port, CTRL) | CTRL_RST);
    for (int i = 0; i < 100 && !(Read(port, EECD) & EECD_AUTO_RD); ++i) Sleep(1000);
    Write(port, IMC, 0xFFFFFFFF);
}

NTSTATUS EvtD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE)
{
    PORT_CONTEXT *port = PortContext(device);
    ControllerReset(port);
    for (ULONG w = 0; w < 3; ++w) {
        USHORT word = 0;
        NTSTATUS status = EepromRead(port, w, &word);
        if (!NT_SUCCESS(status)) return status;
        port->MacAddress[2 * w] = (UCHAR)word;
        port->MacAddress[2 * w + 1] = (UCHAR)(word >> 8);
    }
    if ((Read(port, STATUS) >> 2) & 3) port->MacAddress[5] ^= 1;  // the second LAN function
    DbgPrint("fltest: D0 entry %02x:%02x:%02x:%02x:%02x:%02x\n", port->MacAddress[0], port->MacAddress[1],
             port->MacAddress[2], port->MacAddress[3], port->MacAddress[4], port->MacAddress[5]);
    Write(port, CTRL, Read(port, CTRL) | CTRL_SLU);

    RtlZeroMemory(port->RxDescriptors, kDescriptors * sizeof(DESCRIPTOR));
    RtlZeroMemory(port->TxDescriptors, kDescriptors * sizeof(DESCRIPTOR));
    for (ULONG i = 0; i < kDescriptors; ++i) {
        port->RxDescriptors[i].Address = (ULONG64)port->RxBuffersLogical.QuadPart + (ULONG64)i * kBufferSize;
    }
    port->RxNext = 0;
    port->TxTail = port->TxClean = 0;
    Write(port, RDBAL, port->RxRingLogical.LowPart);
    Write(port, RDBAH, (ULONG)port->RxRingLogical.HighPart);
    Write(port, RDLEN, kDescriptors * sizeof(DESCRIPTOR));
    Write(port, RDH, 0);
    Write(port, RDT, kDescriptors - 1);
    Write(port, RCTL, RCTL_EN | RCTL_UPE | RCTL_MPE | RCTL_BAM);
    Write(port, TDBAL, port->TxRingLogical.LowPart);
    Write(port, TDBAH, (ULONG)port->TxRingLogical.HighPart);
    Write(port, TDLEN, kDescriptors * sizeof(DESCRIPTOR));
    Write(port, TDH, 0);
    Write(port, TDT, 0);
    Write(port, TCTL, TCTL_EN | TCTL_PSP);
    return STATUS_SUCCESS;
}

NTSTATUS EvtD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE)
{
    DbgPrint("fltest: D0 exit\n");
    ControllerReset(PortContext(device));  // no DMA into the rings after this
    return STATUS_SUCCESS;
}

NTSTATUS EvtSelfManagedIoInit(WDFDEVICE device)
{
    PORT_CONTEXT *port = PortContext(device);
    DbgPrint("fltest: self-managed I/O init\n");
    InterlockedExchange(&port->StopPolling, 0);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, PollThread, port);
    if (!NT_SUCCESS(status)) return status;
    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       (PVOID *)&port->PollThread, NULL);
    ZwClose(thread);
    if (NT_SUCCESS(status)) RegisterPort(port, TRUE);
    return status;
}

NTSTATUS EvtSelfManagedIoSuspend(WDFDEVICE device)
{
    PORT_CONTEXT *port = PortContext(device);
    DbgPrint("fltest: self-managed I/O suspend\n");
    RegisterPort(port, FALSE);
    if (port->PollThread != NULL) {
        InterlockedExchange(&port->StopPolling, 1);
        KeWaitForSingleObject(port->PollThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(port->PollThread);
        port->PollThread = NULL;
    }
    return STATUS_SUCCESS;
}

VOID EvtDeviceCleanup(WDFOBJECT object)
{
    PORT_CONTEXT *port = PortContext(object);
    DbgPrint("fltest: device cleanup\n");
    InterlockedDecrement(&g_devices);
    if (port->Kept != NULL) ExFreePoolWithTag(port->Kept, kTag);
    port->Kept = NULL;
}

NTSTATUS CreateCommonBuffer(PORT_CONTEXT *port, SIZE_T length, WDFCOMMONBUFFER *buffer, PVOID *virt,
                            PHYSICAL_ADDRESS *logical)
{
    NTSTATUS status = WdfCommonBufferCreate(port->DmaEnabler, length, WDF_NO_OBJECT_ATTRIBUTES, buffer);
    if (!NT_SUCCESS(status)) return status;
    *virt = WdfCommonBufferGetAlignedVirtualAddress(*buffer);
    *logical = WdfCommonBufferGetAlignedLogicalAddress(*buffer);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    DbgPrint("fltest: device add\n");
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = EvtPrepareHardware;
    pnp.EvtDeviceReleaseHardware = EvtReleaseHardware;
    pnp.EvtDeviceD0Entry = EvtD0Entry;
    pnp.EvtDeviceD0Exit = EvtD0Exit;
    pnp.EvtDeviceSelfManagedIoInit = EvtSelfManagedIoInit;
    pnp.EvtDeviceSelfManagedIoSuspend = EvtSelfManagedIoSuspend;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WdfDeviceInitSetIoType(init, WdfDeviceIoDirect);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PORT_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceCleanup;
    WDFDEVICE device;
    // Counted in here, out by its cleanup.
    if (InterlockedIncrement(&g_devices) > kMaxDevices) {
        InterlockedDecrement(&g_devices);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        InterlockedDecrement(&g_devices);
        return status;
    }
    PORT_CONTEXT *port = PortContext(device);
    port->Device = device;
    KeInitializeSpinLock(&port->Lock);

    WDF_DMA_ENABLER_CONFIG dma;
    WDF_DMA_ENABLER_CONFIG_INIT(&dma, WdfDmaProfileScatterGather64, kBufferSize);
    status = WdfDmaEnablerCreate(device, &dma, WDF_NO_OBJECT_ATTRIBUTES, &port->DmaEnabler);
    if (!NT_SUCCESS(status)) return status;
    PVOID memory;
    status = CreateCommonBuffer(port, kDescriptors * sizeof(DESCRIPTOR), &port->RxRing, &memory, &port->RxRingLogical);
    if (!NT_SUCCESS(status)) return status;
    port->RxDescriptors = (DESCRIPTOR *)memory;
    status = CreateCommonBuffer(port, kDescriptors * kBufferSize, &port->RxBuffers, &memory, &port->RxBuffersLogical);
    if (!NT_SUCCESS(status)) return status;
    port->RxMemory = (PUCHAR)memory;
    status = CreateCommonBuffer(port, kDescriptors * sizeof(DESCRIPTOR), &port->TxRing, &memory, &port->TxRingLogical);
    if (!NT_SUCCESS(status)) return status;
    port->TxDescriptors = (DESCRIPTOR *)memory;
    status = CreateCommonBuffer(port, kDescriptors * kBufferSize, &port->TxBuffers, &memory, &port->TxBuffersLogical);
    if (!NT_SUCCESS(status)) return status;
    port->TxMemory = (PUCHAR)memory;

    port->Kept = (KEPT_FRAME *)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEPT_FRAME) * kKeptFrames, kTag);
    if (port->Kept == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_FLTEST, NULL);
}

VOID EvtDriverUnload(WDFDRIVER)
{
    DbgPrint("fltest: driver unload\n");
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    DbgPrint("fltest: driver entry\n");
    KeInitializeSpinLock(&g_PortsLock);
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    config.EvtDriverUnload = EvtDriverUnload;
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// ---- What the tests reach directly ----

extern "C" PVOID FlTestFindPort(const UCHAR *mac)
{
    PORT_CONTEXT *found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&g_PortsLock, &irql);
    for (PORT_CONTEXT *port : g_Ports) {
        if (port == NULL) continue;
        BOOLEAN equal = TRUE;
        for (int i = 0; i < 6; ++i) equal = equal && port->MacAddress[i] == mac[i];
        if (equal) found = port;
    }
    KeReleaseSpinLock(&g_PortsLock, irql);
    return found;
}

extern "C" LONG64 FlTestReceivedCount(PVOID handle)
{
    PORT_CONTEXT *port = (PORT_CONTEXT *)handle;
    KIRQL irql;
    KeAcquireSpinLock(&port->Lock, &irql);
    LONG64 received = port->Received;
    KeReleaseSpinLock(&port->Lock, irql);
    return received;
}

extern "C" ULONG FlTestReceivedFrame(PVOID handle, LONG64 index, PUCHAR buffer, ULONG capacity)
{
    PORT_CONTEXT *port = (PORT_CONTEXT *)handle;
    ULONG length = 0;
    KIRQL irql;
    KeAcquireSpinLock(&port->Lock, &irql);
    if (index >= 0 && index < port->Received && port->Received - index <= (LONG64)kKeptFrames) {
        const KEPT_FRAME *kept = &port->Kept[index % kKeptFrames];
        length = kept->Length <= capacity ? kept->Length : capacity;
        RtlCopyMemory(buffer, kept->Bytes, length);
    }
    KeReleaseSpinLock(&port->Lock, irql);
    return length;
}

extern "C" NTSTATUS FlTestTransmit(PVOID handle, const UCHAR *frame, ULONG length)
{
    PORT_CONTEXT *port = (PORT_CONTEXT *)handle;
    if (length == 0 || length > kBufferSize) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&port->Lock, &irql);
    const ULONG next = (port->TxTail + 1) % kDescriptors;
    if (next == port->TxClean) {
        status = STATUS_DEVICE_BUSY;
    } else {
        RtlCopyMemory(port->TxMemory + (SIZE_T)port->TxTail * kBufferSize, frame, length);
        DESCRIPTOR *d = &port->TxDescriptors[port->TxTail];
        d->Address = (ULONG64)port->TxBuffersLogical.QuadPart + (ULONG64)port->TxTail * kBufferSize;
        d->Length = (USHORT)length;
        d->Cso = 0;
        d->Command = TXCMD_EOP | TXCMD_IFCS | TXCMD_RS;  // the board appends the FCS
        __atomic_store_n(&d->Status, (UCHAR)0, __ATOMIC_RELAXED);
        port->TxTail = next;
        Write(port, TDT, next);
    }
    KeReleaseSpinLock(&port->Lock, irql);
    return status;
}

extern "C" LONG64 FlTestTransmitted(PVOID handle)
{
    PORT_CONTEXT *port = (PORT_CONTEXT *)handle;
    KIRQL irql;
    KeAcquireSpinLock(&port->Lock, &irql);
    LONG64 done = port->TxCompleted;
    KeReleaseSpinLock(&port->Lock, irql);
    return done;
}
