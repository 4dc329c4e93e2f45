/*
 * device.cpp: adding a port and its PnP and power callbacks.
 */
#define INITGUID /* GUID_DEVINTERFACE_FL lives here */
#include "driver.h"

#include "config.h"
#include "datapath.h"
#include "hw/controller.h"

static EVT_WDF_DEVICE_PREPARE_HARDWARE PrepareHardware;
static EVT_WDF_DEVICE_RELEASE_HARDWARE ReleaseHardware;
static EVT_WDF_DEVICE_D0_ENTRY D0Entry;
static EVT_WDF_DEVICE_D0_EXIT D0Exit;
static EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT SelfManagedIoStart;
static EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND SelfManagedIoSuspend;
static EVT_WDF_OBJECT_CONTEXT_CLEANUP DeviceCleanup;
static EVT_WDF_INTERRUPT_ISR InterruptIsr;
static EVT_WDF_INTERRUPT_DPC InterruptDpc;
static EVT_WDF_INTERRUPT_ENABLE InterruptEnable;
static EVT_WDF_INTERRUPT_DISABLE InterruptDisable;
static EVT_WDF_IO_QUEUE_IO_WRITE WriteDispatch;

static PDRIVER_CONTEXT PortDriverContext(WDFDEVICE Device)
{
    return DriverGetContext(WdfDeviceGetDriver(Device));
}

static NTSTATUS PciIdentityCheck(PFDO_DATA Fdo)
{
    USHORT vendor;
    USHORT device;
    NTSTATUS status = PciConfigRead(Fdo->Device, PCI_CFG_VENDOR_ID, &vendor);
    if (NT_SUCCESS(status)) {
        status = PciConfigRead(Fdo->Device, PCI_CFG_DEVICE_ID, &device);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!PciIdentityAccepted(vendor, device)) {
        return STATUS_UNSUCCESSFUL;
    }
    USHORT linkStatus;
    Fdo->PcieLinkWidth = NT_SUCCESS(PciConfigRead(Fdo->Device, PCI_CFG_PCIE_LINK_STATUS, &linkStatus))
                             ? PcieLinkWidth(linkStatus)
                             : 0;
    return STATUS_SUCCESS;
}

static NTSTATUS QueuesCreate(PFDO_DATA Fdo)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = ControlDispatch;
    NTSTATUS status = WdfIoQueueCreate(Fdo->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Fdo->ControlQueue);
    if (!NT_SUCCESS(status)) return status;

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(Fdo->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Fdo->LinkWaitQueue);
    if (!NT_SUCCESS(status)) return status;

    /* Empty reads and writes reach the driver instead of being answered
     * with success by the framework: a read shorter than its header is too
     * small, and a write on a handle that never enabled transmission is
     * refused whatever its length. */
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.AllowZeroLengthRequests = TRUE;
    status = WdfIoQueueCreate(Fdo->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Fdo->ReadQueue);
    if (!NT_SUCCESS(status)) return status;

    /* One write at a time per port: two instances' records must not fill
     * transmit slots at the same time. A write never waits, so nothing
     * queues behind it for long. */
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoWrite = WriteDispatch;
    config.AllowZeroLengthRequests = TRUE;
    status = WdfIoQueueCreate(Fdo->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Fdo->WriteQueue);
    if (!NT_SUCCESS(status)) return status;

    status = WdfDeviceConfigureRequestDispatching(Fdo->Device, Fdo->ReadQueue, WdfRequestTypeRead);
    if (!NT_SUCCESS(status)) return status;
    status = WdfDeviceConfigureRequestDispatching(Fdo->Device, Fdo->WriteQueue, WdfRequestTypeWrite);
    if (!NT_SUCCESS(status)) return status;
    return WdfDeviceConfigureRequestDispatching(Fdo->Device, Fdo->ControlQueue, WdfRequestTypeDeviceControl);
}

static NTSTATUS InterruptCreate(PFDO_DATA Fdo)
{
    WDF_INTERRUPT_CONFIG config;
    WDF_INTERRUPT_CONFIG_INIT(&config, InterruptIsr, InterruptDpc);
    config.EvtInterruptEnable = InterruptEnable;
    config.EvtInterruptDisable = InterruptDisable;
    return WdfInterruptCreate(Fdo->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Fdo->Interrupt);
}

/* Everything after the device exists; a failure here deletes the device,
 * and its cleanup gives back what was taken (the port count included). */
static NTSTATUS PortSetup(WDFDEVICE Device)
{
    PFDO_DATA fdo = FdoGetData(Device);
    fdo->Device = Device;

    NTSTATUS status = PciIdentityCheck(fdo);
    if (!NT_SUCCESS(status)) return status;
    status = InterruptCreate(fdo);
    if (!NT_SUCCESS(status)) return status;
    status = QueuesCreate(fdo);
    if (!NT_SUCCESS(status)) return status;

    /* The framework zeroed the record: harvest time, LinkState and
     * PortCounters start at 0. */
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    status = WdfSpinLockCreate(&attributes, &fdo->CountersLock);
    if (!NT_SUCCESS(status)) return status;

    ConfigReadPortValues(fdo, ConfigQueryDeviceKey, Device);

    status = RxAllocate(fdo);
    if (!NT_SUCCESS(status)) return status;
    status = ReaderTableCreate(fdo);
    if (!NT_SUCCESS(status)) return status;
    WriteRelease64(&fdo->LinkState, 0);

    return WdfDeviceCreateDeviceInterface(Device, &GUID_DEVINTERFACE_FL, NULL);
}

NTSTATUS PortAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    PDRIVER_CONTEXT context = DriverGetContext(Driver);
    if (InterlockedIncrement(&context->PortCount) > FL_MAX_PORTS) {
        InterlockedDecrement(&context->PortCount);
        return STATUS_UNSUCCESSFUL;
    }

    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);

    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    pnp.EvtDeviceSelfManagedIoInit = SelfManagedIoStart;
    pnp.EvtDeviceSelfManagedIoRestart = SelfManagedIoStart;
    pnp.EvtDeviceSelfManagedIoSuspend = SelfManagedIoSuspend;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, InstanceCreate, InstanceClose, InstanceCleanup);
    files.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_OBJECT_DATA);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &files, &fileAttributes);
    WdfDeviceInitSetIoInCallerContextCallback(DeviceInit, RequestPreprocess);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FDO_DATA);
    attributes.EvtCleanupCallback = DeviceCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        InterlockedDecrement(&context->PortCount);
        return status;
    }
    return PortSetup(device);
}

static VOID DeviceCleanup(WDFOBJECT Device)
{
    PFDO_DATA fdo = FdoGetData(Device);
    if (fdo->DmaEnabler != NULL) {
        WdfObjectDelete(fdo->DmaEnabler);
        fdo->DmaEnabler = NULL;
    }
    ReaderTableFree(fdo);
    InterlockedDecrement(&PortDriverContext((WDFDEVICE)Device)->PortCount);
}

static NTSTATUS PrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated)
{
    UNREFERENCED_PARAMETER(ResourcesRaw);
    PFDO_DATA fdo = FdoGetData(Device);
    fdo->RegisterPhysical = 0;
    fdo->RegisterLength = 0;
    fdo->PortResourceStart = 0;
    fdo->PortResourceLength = 0;
    fdo->IoMapping = NULL;
    fdo->IoMappingLength = 0;
    fdo->Registers = NULL;

    ULONG count = WdfCmResourceListGetCount(ResourcesTranslated);
    if (count == 0) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    BOOLEAN memory = FALSE;
    BOOLEAN port = FALSE;
    BOOLEAN interrupt = FALSE;
    for (ULONG i = 0; i < count; i++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = WdfCmResourceListGetDescriptor(ResourcesTranslated, i);
        if (d == NULL) {
            continue;
        }
        switch (d->Type) {
        case CmResourceTypeMemory:
            if (!memory) {
                fdo->RegisterPhysical = (ULONGLONG)d->u.Memory.Start.QuadPart;
                fdo->RegisterLength = d->u.Memory.Length;
                memory = TRUE;
            }
            break;
        case CmResourceTypePort:
            if (!memory && !port) {
                fdo->PortResourceStart = d->u.Port.Start.LowPart;
                fdo->PortResourceLength = d->u.Port.Length;
                port = TRUE;
            }
            break;
        case CmResourceTypeInterrupt:
            if (!(d->Flags & CM_RESOURCE_INTERRUPT_MESSAGE)) {
                fdo->InterruptLevel = d->u.Interrupt.Level;
                fdo->InterruptVector = d->u.Interrupt.Vector;
                fdo->InterruptAffinity = d->u.Interrupt.Affinity;
                interrupt = TRUE;
            }
            break;
        default:
            break;
        }
    }
    if (!memory || !interrupt) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = (LONGLONG)fdo->RegisterPhysical;
    fdo->Registers = (PUCHAR)MmMapIoSpace(physical, fdo->RegisterLength, MmNonCached);
    if (fdo->Registers == NULL) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    fdo->IsFirstFunction = (RegRead(fdo, E1000_STATUS) & E1000_STATUS_FUNC_MASK) == 0;
    return STATUS_SUCCESS;
}

static NTSTATUS ReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PFDO_DATA fdo = FdoGetData(Device);
    if (fdo->Registers != NULL) {
        MmUnmapIoSpace(fdo->Registers, fdo->RegisterLength);
        fdo->Registers = NULL;
    }
    if (fdo->IoMapping != NULL) {
        MmUnmapIoSpace(fdo->IoMapping, fdo->IoMappingLength);
        fdo->IoMapping = NULL;
    }
    fdo->RegisterPhysical = 0;
    fdo->IsFirstFunction = 0;
    return STATUS_SUCCESS;
}

static NTSTATUS D0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    UNREFERENCED_PARAMETER(PreviousState);
    PFDO_DATA fdo = FdoGetData(Device);
    for (ULONG word = 0; word < 3; word++) {
        USHORT value;
        /* An EEPROM that does not answer fails the start instead of
         * leaving the port with a made-up address. */
        NTSTATUS status = EepromReadWord(fdo, word, &value);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        fdo->MacAddress[2 * word] = (UCHAR)(value & 0xFF);
        fdo->MacAddress[2 * word + 1] = (UCHAR)(value >> 8);
    }
    /* Both functions read the board's one address; the second answers
     * with bit 0 of the last byte inverted. */
    if (!fdo->IsFirstFunction) {
        fdo->MacAddress[5] ^= 0x01;
    }
    WriteULongRelease(&fdo->RxOldest, 0);
    fdo->PowerState = 1;
    return HardwareStart(fdo);
}

static NTSTATUS D0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    PFDO_DATA fdo = FdoGetData(Device);
    (VOID) ControllerReset(fdo);
    (VOID) PhyReset(fdo);
    fdo->PowerState = (ULONG)TargetState;
    return STATUS_SUCCESS;
}

static NTSTATUS SelfManagedIoStart(WDFDEVICE Device)
{
    PDRIVER_CONTEXT context = PortDriverContext(Device);
    PostCommand(&context->MgmRing, context->MgmRingLock, FL_MGM_ADD_PORT, FdoGetData(Device), NULL);
    return STATUS_SUCCESS;
}

static NTSTATUS SelfManagedIoSuspend(WDFDEVICE Device)
{
    PDRIVER_CONTEXT context = PortDriverContext(Device);
    PostCommand(&context->MgmRing, context->MgmRingLock, FL_MGM_REMOVE_PORT, FdoGetData(Device), NULL);
    return STATUS_SUCCESS;
}

static BOOLEAN InterruptIsr(WDFINTERRUPT Interrupt, ULONG MessageID)
{
    UNREFERENCED_PARAMETER(MessageID);
    return IsrService(FdoGetData(WdfInterruptGetDevice(Interrupt)));
}

static VOID InterruptDpc(WDFINTERRUPT Interrupt, WDFOBJECT AssociatedObject)
{
    /* Only the link changes interrupt, and the ISR has done all of it. */
    UNREFERENCED_PARAMETER(Interrupt);
    UNREFERENCED_PARAMETER(AssociatedObject);
}

static NTSTATUS InterruptEnable(WDFINTERRUPT Interrupt, WDFDEVICE AssociatedDevice)
{
    UNREFERENCED_PARAMETER(Interrupt);
    InterruptsOn(FdoGetData(AssociatedDevice));
    return STATUS_SUCCESS;
}

static NTSTATUS InterruptDisable(WDFINTERRUPT Interrupt, WDFDEVICE AssociatedDevice)
{
    UNREFERENCED_PARAMETER(Interrupt);
    InterruptsOff(FdoGetData(AssociatedDevice));
    return STATUS_SUCCESS;
}

/* Transmission arrives with the data path; until then no instance can
 * have it enabled. */
static VOID WriteDispatch(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    UNREFERENCED_PARAMETER(Queue);
    TxWrite(FileGetData(WdfRequestGetFileObject(Request)), Request, Length);
}
