/*
 * pci.cpp: PCI configuration reads through the bus driver below the port.
 */
#include "controller.h"

NTSTATUS PciConfigRead(WDFDEVICE Device, ULONG Offset, PUSHORT Value)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(WdfDeviceWdmGetDeviceObject(Device));

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &event, &iosb);
    if (irp == NULL) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    /* A bus driver that does not handle the request leaves this status. */
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_READ_CONFIG;
    stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    stack->Parameters.ReadWriteConfig.Buffer = Value;
    stack->Parameters.ReadWriteConfig.Offset = Offset;
    stack->Parameters.ReadWriteConfig.Length = sizeof(USHORT);

    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    ObDereferenceObject(top);
    return status;
}
