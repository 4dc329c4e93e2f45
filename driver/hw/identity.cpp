/*
 * identity.cpp: what the driver accepts of a PCI function's configuration.
 */
#include "controller.h"

BOOLEAN PciIdentityAccepted(USHORT VendorId, USHORT DeviceId)
{
    return VendorId == FL_PCI_VENDOR_ID && (DeviceId == FL_PCI_DEVICE_ID_1 || DeviceId == FL_PCI_DEVICE_ID_2);
}

ULONG PcieLinkWidth(USHORT LinkStatus)
{
    switch (LinkStatus & PCIE_LINK_WIDTH_MASK) {
    case 0x10: return 1;
    case 0x20: return 2;
    case 0x40: return 4;
    default: return 0;
    }
}
