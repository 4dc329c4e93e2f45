/*
 * controller.h: every access of the driver to an 82571 port: registers,
 * reset and start, the PHY behind MDIC, the EEPROM, LEDs, statistics and
 * the link-change interrupt. Each routine returns STATUS_SUCCESS or
 * STATUS_UNSUCCESSFUL unless its comment says otherwise.
 */
#ifndef FL_DRIVER_HW_CONTROLLER_H
#define FL_DRIVER_HW_CONTROLLER_H

#include "../driver.h"

/* Register access. WRITE_REGISTER_ULONG is itself a full barrier (as on
 * x64 Windows), so each write reaches the device in program order before
 * the next step; reading STATUS flushes posted writes. */
FORCEINLINE ULONG RegRead(PFDO_DATA Fdo, ULONG Offset)
{
    return READ_REGISTER_ULONG((volatile ULONG *)(Fdo->Registers + Offset));
}

FORCEINLINE VOID RegWrite(PFDO_DATA Fdo, ULONG Offset, ULONG Value)
{
    WRITE_REGISTER_ULONG((volatile ULONG *)(Fdo->Registers + Offset), Value);
}

FORCEINLINE VOID RegFlush(PFDO_DATA Fdo)
{
    (VOID) RegRead(Fdo, E1000_STATUS);
}

VOID StallMicroseconds(ULONG Microseconds);
VOID SleepMilliseconds(ULONG Milliseconds);

/* Software semaphore shared with firmware and the other function. */
NTSTATUS SemaphoreAcquire(PFDO_DATA Fdo);
VOID SemaphoreRelease(PFDO_DATA Fdo);

/* PHY (address 1) through MDIC. PhyRead and PhyWrite take the semaphore;
 * registers 16 and above are reached through the page-select register. */
NTSTATUS MdicWrite(PFDO_DATA Fdo, ULONG Register, USHORT Value);
NTSTATUS PhyRead(PFDO_DATA Fdo, ULONG Register, PUSHORT Value);
NTSTATUS PhyWrite(PFDO_DATA Fdo, ULONG Register, USHORT Value);
/* Read, clear the bits of Clear, set the bits of Set, write. */
NTSTATUS PhyModify(PFDO_DATA Fdo, ULONG Register, USHORT Clear, USHORT Set);
/* The present value of PHY register 1: its link bit latches low, so the
 * first read after a restart reports the link down even once it is up
 * again; the second read tells how it is now. */
NTSTATUS PhyStatusNow(PFDO_DATA Fdo, PUSHORT Value);

/* EEPROM: reads through EERD, writes by SPI bit-banging on EECD. */
NTSTATUS EepromReadWord(PFDO_DATA Fdo, ULONG Address, PUSHORT Value);
NTSTATUS EepromWriteEnable(PFDO_DATA Fdo);
NTSTATUS EepromWriteDisable(PFDO_DATA Fdo);
NTSTATUS EepromWriteWord(PFDO_DATA Fdo, ULONG Address, USHORT Value);
/* Writes one word and keeps words 0..63 summing to 0xBABA. */
NTSTATUS EepromWriteWordAndRepair(PFDO_DATA Fdo, ULONG Address, USHORT Value);
#define EEPROM_CHECKSUM_WORD 63u
#define EEPROM_CHECKSUM      0xBABAu

/* Reset, start and link. */
NTSTATUS ControllerReset(PFDO_DATA Fdo);
NTSTATUS HardwareStart(PFDO_DATA Fdo);
NTSTATUS LinkSetup(PFDO_DATA Fdo);
NTSTATUS PhyReset(PFDO_DATA Fdo);
NTSTATUS Advertise(PFDO_DATA Fdo, ULONG Modes);
NTSTATUS PhyAdvertiseNone(PFDO_DATA Fdo);
VOID LinkUpdate(PFDO_DATA Fdo);

/* Rings. */
VOID TxSetup(PFDO_DATA Fdo, BOOLEAN Enable);
VOID RxSetup(PFDO_DATA Fdo);
/* RCTL buffer-size bits for a receive slot size; 0 for an unknown size. */
ULONG RxBufferSizeBits(ULONG SlotSize);

/* Statistics. CountersAccumulate adds the clear-on-read registers to
 * PortCounters under CountersLock and copies all 16 out (Out may be NULL). */
VOID CountersClear(PFDO_DATA Fdo);
VOID CountersAccumulate(PFDO_DATA Fdo, PULONGLONG Out);

/* LEDs 0, 2 and 3. SetLed: STATUS_INVALID_PARAMETER for another LED or a
 * code above 3. QueryLed returns FL_LED_CODE_*, -1 for a foreign mode. */
NTSTATUS SetLed(PFDO_DATA Fdo, ULONG Led, ULONG Code);
LONG QueryLed(PFDO_DATA Fdo, ULONG Led);

/* Link partner's modes: STATUS_INVALID_DEVICE_REQUEST when PHY register 5
 * does not carry the IEEE 802.3 selector. */
NTSTATUS PartnerAbilities(PFDO_DATA Fdo, PFL_IOCTL_AUTONEGOTIATION Result);

/* Interrupt work, called by the framework's callbacks. */
BOOLEAN IsrService(PFDO_DATA Fdo);
VOID InterruptsOn(PFDO_DATA Fdo);
VOID InterruptsOff(PFDO_DATA Fdo);

/* PCI configuration. */
NTSTATUS PciConfigRead(WDFDEVICE Device, ULONG Offset, PUSHORT Value);
BOOLEAN PciIdentityAccepted(USHORT VendorId, USHORT DeviceId);
ULONG PcieLinkWidth(USHORT LinkStatus);

#endif /* FL_DRIVER_HW_CONTROLLER_H */
